// Indexing and repository-selection costs on synthetic repositories made with the real git.
#include "repository/linux_repository_context_provider.h"
#include "repository/process_listing.h"
#include "repository/repository_indexer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <QCoroTask>

#include <benchmark/benchmark.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace Qt::StringLiterals;
using namespace quovant;

namespace {

const RepositoryIndexLimits kLimits = LinuxRepositoryContextProvider::applicationLimits();

void git(const QString& root, const QStringList& arguments) {
    QProcess process;
    process.start(u"git"_s, QStringList{u"-c"_s, u"user.name=Bench"_s, u"-c"_s,
                                        u"user.email=bench@example.invalid"_s, u"-C"_s, root} +
                                arguments);
    if (!process.waitForFinished(600000) || process.exitCode() != 0) {
        std::fprintf(stderr, "git %s failed\n", qPrintable(arguments.join(u' ')));
        std::abort();
    }
}

void write(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        std::abort();
    }
}

// A source text of about `bytes` bytes whose few identifiers repeat, so the vocabulary never
// fills and every source file up to the limit is read in full.
QByteArray repetitiveSource(qsizetype bytes) {
    const QByteArray block = "class WidgetModel {\n"
                             "    let counterValue = 1\n"
                             "    func computeTotal(items: [Int]) -> Int { items.reduce(0, +) }\n"
                             "    // A comment line that pads the file out like real prose does.\n"
                             "}\n";
    QByteArray text;
    text.reserve(bytes + block.size());
    while (text.size() < bytes) {
        text += block;
    }
    return text;
}

class Repository {
public:
    QString root() const { return m_root; }

    // `sources` files of `sourceBytes` under app/, then `others` small files whose names add
    // no terms, all tracked.
    static std::unique_ptr<Repository> worstCase(int sources, qsizetype sourceBytes, int others) {
        auto repository = std::make_unique<Repository>();
        const QByteArray source = repetitiveSource(sourceBytes);
        for (int i = 0; i < sources; ++i) {
            repository->add(u"app/%1/m.swift"_s.arg(i, 4, 10, QChar(u'0')), source);
        }
        for (int i = 0; i < others; ++i) {
            repository->add(u"data/%1/%2/f.txt"_s.arg(i / 100, 3, 10, QChar(u'0'))
                                .arg(i % 100, 2, 10, QChar(u'0')),
                            "x\n");
        }
        repository->commit();
        return repository;
    }

    // A project-shaped tree: modules of distinct types with small sources and some key files.
    static std::unique_ptr<Repository> typical(int files) {
        auto repository = std::make_unique<Repository>();
        repository->add(u"README.md"_s, "# project\n");
        repository->add(u"Package.swift"_s, "let package = Package()\n");
        for (int i = 0; i < files; ++i) {
            const QString module = u"Module%1"_s.arg(i / 50);
            const QString type = u"Type%1"_s.arg(i);
            repository->add(module + u"/"_s + type + u".swift"_s,
                            (u"struct "_s + type + u" {\n    func render"_s + type +
                             u"() {}\n    let storedValue"_s + type + u" = 1\n}\n"_s)
                                .toUtf8());
        }
        repository->commit();
        return repository;
    }

    Repository() : m_root(QFileInfo(m_dir.path()).canonicalFilePath()) {
        git(m_root, {u"init"_s, u"-q"_s, u"-b"_s, u"main"_s});
    }

    void addFile(const QString& relative, const QByteArray& bytes) { add(relative, bytes); }
    void commitAll() { commit(); }

private:
    void add(const QString& relative, const QByteArray& bytes) {
        write(m_root + u'/' + relative, bytes);
    }
    void commit() {
        git(m_root, {u"add"_s, u"-A"_s});
        git(m_root, {u"commit"_s, u"-q"_s, u"-m"_s, u"synthetic"_s});
    }

    QTemporaryDir m_dir;
    QString m_root;
};

// 20,000 tracked files; 400 sources of 200 KiB, each declaring its own types and functions.
std::unique_ptr<Repository> distinctSources() {
    auto repository = std::make_unique<Repository>();
    const QByteArray filler = repetitiveSource(200 * 1024);
    for (int i = 0; i < 400; ++i) {
        const QByteArray n = QByteArray::number(i);
        repository->addFile(u"Sources/%1/File%1.swift"_s.arg(i),
                            "struct Record" + n + " {}\nfunc handleEvent" + n +
                                "() {}\nlet cachedEntry" + n + " = 0\n" + filler);
    }
    for (int i = 0; i < 19600; ++i) {
        repository->addFile(
            u"data/%1/%2/f.txt"_s.arg(i / 100, 3, 10, QChar(u'0')).arg(i % 100, 2, 10, QChar(u'0')),
            "x\n");
    }
    repository->commitAll();
    return repository;
}

Repository& medium() {
    static auto repository = Repository::typical(500);
    return *repository;
}
Repository& fiveThousand() {
    static auto repository = Repository::typical(5000);
    return *repository;
}
Repository& twentyThousandDistinct() {
    static auto repository = distinctSources();
    return *repository;
}
Repository& twentyThousand() {
    static auto repository = Repository::worstCase(400, 200 * 1024, 19600);
    return *repository;
}

void reportListing(benchmark::State& state, const RepositoryIndexer::Listing& listing) {
    state.counters["listed"] = static_cast<double>(listing.paths.size());
    state.counters["gitBytesRead"] = static_cast<double>(listing.bytesRead);
    state.counters["gitStoppedEarly"] = listing.stoppedAtLimit ? 1 : 0;
}

void indexBenchmark(benchmark::State& state, Repository& repository) {
    const RepositoryIndexer indexer{kLimits, std::nullopt};
    RepositoryContext context;
    for (auto _ : state) {
        context = indexer.index(repository.root());
        benchmark::DoNotOptimize(context);
    }
    state.counters["terms"] = static_cast<double>(context.vocabulary.size());
    state.counters["keyFiles"] = static_cast<double>(context.keyFiles.size());
    reportListing(state, indexer.listTrackedFiles(repository.root()));
}

void BM_IndexMediumRepository(benchmark::State& state) {
    indexBenchmark(state, medium());
}
void BM_IndexFiveThousandFiles(benchmark::State& state) {
    indexBenchmark(state, fiveThousand());
}
void BM_IndexTwentyThousandFiles(benchmark::State& state) {
    indexBenchmark(state, twentyThousandDistinct());
}
// 20,000 tracked files, 400 sources of 200 KiB whose terms never fill the vocabulary.
void BM_IndexTwentyThousandFilesWorstCase(benchmark::State& state) {
    indexBenchmark(state, twentyThousand());
}

// The listing alone, cut at 5000 entries, against git's whole listing of the same tree.
void BM_GitListingCutAtLimit(benchmark::State& state) {
    const RepositoryIndexer indexer{kLimits, std::nullopt};
    RepositoryIndexer::Listing listing;
    const QString root = twentyThousand().root(); // built outside the timing
    for (auto _ : state) {
        listing = indexer.listTrackedFiles(root);
        benchmark::DoNotOptimize(listing);
    }
    reportListing(state, listing);
}
void BM_GitListingWhole(benchmark::State& state) {
    RepositoryIndexLimits unbounded = kLimits;
    unbounded.maxTrackedFiles = 1000000;
    const RepositoryIndexer indexer{unbounded, std::nullopt};
    RepositoryIndexer::Listing listing;
    const QString root = twentyThousand().root(); // built outside the timing
    for (auto _ : state) {
        listing = indexer.listTrackedFiles(root);
        benchmark::DoNotOptimize(listing);
    }
    reportListing(state, listing);
}

void BM_FolderWalkFiveThousandFiles(benchmark::State& state) {
    const RepositoryIndexer indexer{kLimits, QString()};
    for (auto _ : state) {
        benchmark::DoNotOptimize(indexer.listTrackedFiles(fiveThousand().root()));
    }
}

// One folder of 200,000 empty files in a repository that git cannot list (no git at all).
QString& hugeFlatFolder() {
    static QTemporaryDir dir;
    static QString root = [] {
        const QString path = QFileInfo(dir.path()).canonicalFilePath();
        QDir().mkpath(path + u"/.git"_s);
        QDir().mkpath(path + u"/flat"_s);
        for (int i = 0; i < 200000; ++i) {
            const QByteArray name = QFile::encodeName(path) + "/flat/file" + QByteArray::number(i);
            const int fd = ::open(name.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
            if (fd < 0) {
                std::abort();
            }
            ::close(fd);
        }
        return path;
    }();
    return root;
}

long peakResidentKiB() {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// The walk stops at 5000 files; what it costs beyond that is reading the rest of the folder.
// The peak-memory counter means something only when this benchmark runs alone (filter it).
void BM_FolderWalkOfTwoHundredThousandFileFolder(benchmark::State& state) {
    const RepositoryIndexer indexer{kLimits, QString()};
    const QString root = hugeFlatFolder();
    // Benchmark calls this function several times; the first call's baseline is the real one.
    static const long before = peakResidentKiB();
    qsizetype listed = 0;
    for (auto _ : state) {
        const auto listing = indexer.listTrackedFiles(root);
        listed = listing.paths.size();
        benchmark::DoNotOptimize(listing);
    }
    state.counters["listed"] = static_cast<double>(listed);
    state.counters["peakGrowthMiB"] = static_cast<double>(peakResidentKiB() - before) / 1024.0;
}

void BM_RefreshAlreadyIndexedRoot(benchmark::State& state) {
    LinuxRepositoryContextProvider provider(nullptr);
    const QString pinned = medium().root() + u"/Module1"_s;
    if (!QCoro::waitFor(provider.refreshContext(u"editor"_s, pinned))) {
        state.SkipWithError("indexing failed");
        return;
    }
    for (auto _ : state) {
        auto context = QCoro::waitFor(provider.refreshContext(u"editor"_s, pinned));
        benchmark::DoNotOptimize(context);
    }
}

// At least 1,000 extra processes, all children of this one.
class SleepingChildren {
public:
    explicit SleepingChildren(int count) {
        char sleep[] = "sleep";
        char seconds[] = "600";
        char* argv[] = {sleep, seconds, nullptr};
        for (int i = 0; i < count; ++i) {
            pid_t pid = 0;
            if (::posix_spawnp(&pid, "sleep", nullptr, nullptr, argv, environ) == 0) {
                m_children.push_back(pid);
            }
        }
    }
    ~SleepingChildren() {
        for (const pid_t pid : m_children) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }

private:
    std::vector<pid_t> m_children;
};

SleepingChildren& thousandChildren() {
    static SleepingChildren children(1000);
    return children;
}

void BM_ProcessListOfThousandProcesses(benchmark::State& state) {
    thousandChildren();
    qsizetype rows = 0;
    for (auto _ : state) {
        const auto list = ProcessListing::processRows();
        rows = list.size();
        benchmark::DoNotOptimize(list);
    }
    state.counters["processes"] = static_cast<double>(rows);
}

// The whole detection: list, descendants, 100 working directories, ranking with root searches.
void BM_DetectFromProcessTreeOfThousandChildren(benchmark::State& state) {
    thousandChildren();
    for (auto _ : state) {
        benchmark::DoNotOptimize(LinuxRepositoryContextProvider::detectFromProcessTree(::getpid()));
    }
}

} // namespace

BENCHMARK(BM_IndexMediumRepository)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IndexFiveThousandFiles)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IndexTwentyThousandFiles)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IndexTwentyThousandFilesWorstCase)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GitListingCutAtLimit)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GitListingWhole)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FolderWalkFiveThousandFiles)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FolderWalkOfTwoHundredThousandFileFolder)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RefreshAlreadyIndexedRoot)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProcessListOfThousandProcesses)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DetectFromProcessTreeOfThousandChildren)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    // The provider logs; keep that out of the real data directory.
    QTemporaryDir home;
    qputenv("QUOVANT_HOME", home.path().toUtf8());
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
