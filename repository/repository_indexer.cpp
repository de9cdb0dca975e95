#include "repository/repository_indexer.h"

#include "core/quovant_error.h"
#include "core/unicode_text.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QSet>
#include <QStandardPaths>
#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

constexpr qint64 kReadChunkBytes = 32768;
constexpr qint64 kMinimumListingBudget = 262144;
// Git metadata files are tiny; anything bigger is not worth reading whole.
constexpr qint64 kMaxMetadataBytes = 65536;

const QSet<QString>& keyFileNames() {
    static const QSet<QString> k{
        u"package.swift"_s,
        u"package.json"_s,
        u"pyproject.toml"_s,
        u"cargo.toml"_s,
        u"go.mod"_s,
        u"gemfile"_s,
        u"pom.xml"_s,
        u"build.gradle"_s,
        u"build.gradle.kts"_s,
        u"dockerfile"_s,
        u"docker-compose.yml"_s,
        u"docker-compose.yaml"_s,
        u"readme.md"_s,
        u"agents.md"_s,
        u"claude.md"_s,
        u"makefile"_s,
    };
    return k;
}

const QSet<QString>& excludedDirectoryNames() {
    static const QSet<QString> k{
        u".git"_s,     u".build"_s, u"build"_s,       u"dist"_s,    u"node_modules"_s, u"vendor"_s,
        u"vendors"_s,  u"pods"_s,   u"deriveddata"_s, u".venv"_s,   u"venv"_s,         u"target"_s,
        u"coverage"_s, u".next"_s,  u".cache"_s,      u"secrets"_s, u"secret"_s,
    };
    return k;
}

const QSet<QString>& excludedFileNames() {
    static const QSet<QString> k{
        u".env"_s,
        u"secrets.plist"_s,
        u"credentials.json"_s,
        u"credentials.yaml"_s,
        u"credentials.yml"_s,
        u"secrets.json"_s,
        u"id_rsa"_s,
        u"id_ed25519"_s,
        u"known_hosts"_s,
        u".npmrc"_s,
        u".pypirc"_s,
    };
    return k;
}

const QStringList& excludedSuffixes() {
    static const QStringList k{u".pem"_s, u".key"_s, u".p12"_s, u".pfx"_s, u".mobileprovision"_s,
                               u".dmg"_s, u".zip"_s};
    return k;
}

const QSet<QString>& genericTerms() {
    static const QSet<QString> k{
        u"src"_s,     u"source"_s,  u"sources"_s,  u"test"_s,  u"tests"_s,   u"lib"_s,
        u"app"_s,     u"main"_s,    u"index"_s,    u"utils"_s, u"utility"_s, u"helper"_s,
        u"helpers"_s, u"feature"_s, u"features"_s, u"core"_s,
    };
    return k;
}

const QHash<QString, QString>& languagesByExtension() {
    static const QHash<QString, QString> k = [] {
        const std::pair<QStringList, QString> table[] = {
            {{u"swift"_s}, u"Swift"_s},
            {{u"m"_s, u"mm"_s}, u"Objective-C"_s},
            {{u"ts"_s, u"tsx"_s}, u"TypeScript"_s},
            {{u"js"_s, u"jsx"_s, u"mjs"_s, u"cjs"_s}, u"JavaScript"_s},
            {{u"py"_s}, u"Python"_s},
            {{u"rs"_s}, u"Rust"_s},
            {{u"go"_s}, u"Go"_s},
            {{u"java"_s}, u"Java"_s},
            {{u"kt"_s, u"kts"_s}, u"Kotlin"_s},
            {{u"rb"_s}, u"Ruby"_s},
            {{u"php"_s}, u"PHP"_s},
            {{u"cs"_s}, u"C#"_s},
            {{u"c"_s, u"h"_s}, u"C"_s},
            {{u"cc"_s, u"cpp"_s, u"cxx"_s, u"hpp"_s}, u"C++"_s},
            {{u"sh"_s, u"bash"_s, u"zsh"_s, u"fish"_s}, u"Shell"_s},
            {{u"sql"_s}, u"SQL"_s},
            {{u"html"_s, u"css"_s, u"scss"_s}, u"Web"_s},
        };
        QHash<QString, QString> result;
        for (const auto& [extensions, name] : table) {
            for (const QString& extension : extensions) {
                result.insert(extension, name);
            }
        }
        return result;
    }();
    return k;
}

QByteArray encodePath(const QString& path) {
    return QFile::encodeName(path);
}

// Strict UTF-8: any malformed, overlong or surrogate sequence rejects the whole text.
std::optional<QString> decodeUtf8(QByteArrayView bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom |
                                                     QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError()) {
        return std::nullopt;
    }
    return text;
}

// Length of `bytes` without a multi-byte sequence that a cut left incomplete at its end.
qsizetype completeUtf8Length(QByteArrayView bytes) {
    const qsizetype size = bytes.size();
    qsizetype lead = size - 1;
    int continuation = 0;
    while (lead >= 0 && continuation < 3 && (static_cast<uchar>(bytes[lead]) & 0xC0) == 0x80) {
        --lead;
        ++continuation;
    }
    if (lead < 0) {
        return size;
    }
    const uchar byte = static_cast<uchar>(bytes[lead]);
    const int needed = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
    return needed > 1 && continuation < needed - 1 ? lead : size;
}

QString standardized(const QString& path) {
    if (path.isEmpty()) {
        return path;
    }
    return QDir::cleanPath(QDir(path).absolutePath());
}

std::optional<QString> resolved(const QString& path) {
    char buffer[PATH_MAX];
    if (::realpath(encodePath(path).constData(), buffer) == nullptr) {
        return std::nullopt;
    }
    return QFile::decodeName(buffer);
}

bool exists(const QString& path, struct stat* info = nullptr) {
    struct stat st;
    const bool found = ::stat(encodePath(path).constData(), &st) == 0;
    if (found && info) {
        *info = st;
    }
    return found;
}

QString parentOf(const QString& path) {
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash <= 0 ? u"/"_s : path.left(slash);
}

QStringView lastComponent(QStringView path) {
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash < 0 ? path : path.mid(slash + 1);
}

struct BoundedRead {
    QByteArray bytes;
    // The file went on beyond the bytes read.
    bool cut = false;
};

// At most `maxBytes` of a regular file; absent when it cannot be read. What the path names is
// looked at before it is opened, so a FIFO or a device is never opened (opening one can block or
// act on the device); the open cannot block either, in case the entry was swapped in between.
std::optional<BoundedRead> readBounded(const QString& path, qint64 maxBytes) {
    const QByteArray name = encodePath(path);
    struct stat named;
    if (::stat(name.constData(), &named) != 0 || !S_ISREG(named.st_mode)) {
        return std::nullopt;
    }
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != named.st_dev ||
        st.st_ino != named.st_ino) {
        ::close(fd);
        return std::nullopt;
    }
    const qint64 limit = std::max<qint64>(0, maxBytes);
    const qint64 wanted = std::min<qint64>(limit, std::max<qint64>(0, st.st_size));
    QByteArray bytes(wanted, Qt::Uninitialized);
    qint64 got = 0;
    while (got < wanted) {
        const ssize_t n = ::read(fd, bytes.data() + got, static_cast<size_t>(wanted - got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        got += n;
    }
    ::close(fd);
    bytes.resize(got);
    // The size says whether the file goes on, so no byte beyond the limit is read to find out.
    return BoundedRead{std::move(bytes), st.st_size > limit && got == limit};
}

std::optional<QString> readSmallText(const QString& path) {
    auto read = readBounded(path, kMaxMetadataBytes);
    if (!read) {
        return std::nullopt;
    }
    if (read->cut) {
        read->bytes.truncate(completeUtf8Length(read->bytes));
    }
    return decodeUtf8(read->bytes);
}

bool isAscii(QStringView text) {
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
}

QString trimmedUnicode(const QString& text) {
    const QList<uint> points = text.toUcs4();
    qsizetype first = 0;
    qsizetype last = points.size();
    while (first < last && unicode::isWhitespace(points[first])) {
        ++first;
    }
    while (last > first && unicode::isWhitespace(points[last - 1])) {
        --last;
    }
    if (first == 0 && last == points.size()) {
        return text;
    }
    return QString::fromUcs4(reinterpret_cast<const char32_t*>(points.constData()) + first,
                             last - first);
}

QString termKey(const QString& term) {
    return isAscii(term) ? term.toLower() : unicode::foldCaseAndDiacritics(term);
}

QString fileExtension(QStringView name) {
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot < 0 ? QString() : name.mid(dot + 1).toString();
}

QString fileStem(QStringView name) {
    const qsizetype dot = name.lastIndexOf(u'.');
    return (dot < 0 ? name : name.left(dot)).toString();
}

// The resolved path of a repository file, when it stays inside the resolved root and is not a
// folder.
std::optional<QString> containedTarget(const QString& relativePath, const QString& resolvedRoot) {
    const auto target = resolved(QDir::cleanPath(resolvedRoot + u'/' + relativePath));
    if (!target) {
        return std::nullopt;
    }
    const QString prefix = resolvedRoot.endsWith(u'/') ? resolvedRoot : resolvedRoot + u'/';
    struct stat st;
    if (!target->startsWith(prefix) || !exists(*target, &st) || S_ISDIR(st.st_mode)) {
        return std::nullopt;
    }
    return target;
}

qint64 listingBudget(qint64 maxTrackedFiles) {
    const qint64 perEntry = 1024;
    const qint64 entries =
        std::min<qint64>(maxTrackedFiles, std::numeric_limits<qint64>::max() / perEntry);
    return std::max<qint64>(entries * perEntry, kMinimumListingBudget);
}

using Clock = std::chrono::steady_clock;

int millisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<qint64>(left, 0, std::numeric_limits<int>::max()));
}

// Waits until `fd` is readable, the deadline passes or a stop is requested; true when readable.
bool waitReadable(int fd, Clock::time_point deadline, const IndexingStop* stop) {
    while (true) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop ? stop->wakeDescriptor() : -1, POLLIN, 0}};
        const int ready = ::poll(fds, 2, millisecondsUntil(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0 || (stop && stop->requested())) {
            return false;
        }
        return fds[0].revents != 0;
    }
}

// Starts git in a process group of its own, so that killing the group also ends anything a
// wrapper started. Should this process die without stopping it, the kernel kills git too.
pid_t spawnGit(const QByteArray& program, char* const argv[], int outputFd) {
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here on: other threads may hold any lock.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        ::setpgid(0, 0);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction defaults = {};
        defaults.sa_handler = SIG_DFL;
        ::sigaction(SIGPIPE, &defaults, nullptr);
        ::sigaction(SIGTERM, &defaults, nullptr);
        const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (devNull < 0 || ::dup2(devNull, STDIN_FILENO) < 0 ||
            ::dup2(outputFd, STDOUT_FILENO) < 0 || ::dup2(devNull, STDERR_FILENO) < 0) {
            ::_exit(127);
        }
        ::execve(program.constData(), argv, environ);
        ::_exit(127);
    }
    if (pid > 0) {
        // Also from this side, so that the group exists before anything could signal it.
        ::setpgid(pid, pid);
    }
    return pid;
}

// Ends git and everything left in its process group, and reaps it. A child that the kernel holds
// (a dead network mount) is given up on after a while rather than holding the thread.
int stopGroupAndReap(pid_t pid) {
    ::kill(-pid, SIGKILL);
    int status = 0;
    const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(2);
    while (true) {
        const pid_t reaped = ::waitpid(pid, &status, WNOHANG);
        if (reaped == pid || (reaped < 0 && errno != EINTR) || Clock::now() >= giveUp) {
            return status;
        }
        ::usleep(2000);
    }
}

// Waits for git to exit by itself until the deadline or a stop, then ends its group and reaps it.
// The group is ended before the reaping, while its number cannot yet belong to anyone else.
int finishGit(pid_t pid, Clock::time_point deadline, const IndexingStop* stop, bool& exited) {
    exited = false;
    while (true) {
        siginfo_t info = {};
        const int waited =
            ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
        if (waited < 0 && errno == EINTR) {
            continue;
        }
        if (waited == 0 && info.si_pid == pid) {
            exited = true;
            break;
        }
        if (waited < 0 || Clock::now() >= deadline || (stop && stop->requested())) {
            break;
        }
        if (stop) {
            pollfd wake{stop->wakeDescriptor(), POLLIN, 0};
            ::poll(&wake, 1, std::min(millisecondsUntil(deadline), 2));
        } else {
            ::usleep(2000);
        }
    }
    return stopGroupAndReap(pid);
}

std::optional<RepositoryIndexer::Listing> listWithGit(const QString& git, const QString& root,
                                                      qint64 maxEntries,
                                                      std::chrono::milliseconds timeLimit,
                                                      const IndexingStop* stop) {
    if (stop && stop->requested()) {
        return std::nullopt;
    }
    const Clock::time_point deadline = Clock::now() + timeLimit;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    const QByteArray program = encodePath(git);
    const QByteArray rootBytes = encodePath(root);
    char* argv[] = {const_cast<char*>(program.constData()),
                    const_cast<char*>("-C"),
                    const_cast<char*>(rootBytes.constData()),
                    const_cast<char*>("ls-files"),
                    const_cast<char*>("-z"),
                    nullptr};
    const pid_t pid = spawnGit(program, argv, fds[1]);
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        return std::nullopt;
    }

    RepositoryIndexer::Listing listing;
    listing.fromGit = true;
    const qint64 budget = listingBudget(maxEntries);
    QByteArray buffer;
    char chunk[kReadChunkBytes];
    bool atLimit = false;
    bool timedOut = false;
    while (true) {
        if (!waitReadable(fds[0], deadline, stop)) {
            timedOut = true;
            break;
        }
        const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        listing.bytesRead += n;
        buffer.append(chunk, n);
        qsizetype start = 0;
        while (listing.paths.size() < maxEntries) {
            const qsizetype zero = buffer.indexOf('\0', start);
            if (zero < 0) {
                break;
            }
            if (auto entry = decodeUtf8(QByteArrayView(buffer).sliced(start, zero - start))) {
                listing.paths.append(std::move(*entry));
            }
            start = zero + 1;
        }
        buffer.remove(0, start);
        if (listing.paths.size() >= maxEntries || listing.bytesRead >= budget) {
            atLimit = true;
            break;
        }
    }
    // Closing our end makes any further write fail, so a stopped or stubborn writer cannot
    // block on a full pipe.
    ::close(fds[0]);
    bool exited = false;
    // A listing long enough needs nothing more from git; a read-only listing leaves nothing
    // to clean up, so it is not asked to stop politely.
    const int status = finishGit(pid, atLimit || timedOut ? Clock::now() : deadline, stop, exited);
    listing.stoppedAtLimit = atLimit;
    if (atLimit || (exited && WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
        return listing;
    }
    return std::nullopt;
}

// One folder of the walk: its regular files are taken in the order the folder lists them and
// reading stops as soon as they fill the list, so a huge folder costs no more than the limit.
// Sub-folders are walked afterwards in name order. Never follows symbolic links. Answers false
// once the list is full or the walk was stopped.
bool walkFolder(const QByteArray& rootBytes, const QString& relative, qint64 maxEntries,
                QStringList& list, const IndexingStop* stop) {
    if (stop && stop->requested()) {
        return false;
    }
    // Opened by path, so that only one folder is open at a time however deep the tree.
    const QByteArray path = relative.isEmpty() ? rootBytes : rootBytes + '/' + encodePath(relative);
    const int fd =
        ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return true;
    }
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        ::close(fd);
        return true;
    }
    QStringList files;
    std::vector<std::pair<QByteArray, QString>> folders;
    bool full = false;
    while (const dirent* item = ::readdir(dir)) {
        if (item->d_name[0] == '.') {
            continue;
        }
        unsigned char type = item->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st;
            if (::fstatat(::dirfd(dir), item->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
                type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
            }
        }
        if (type != DT_DIR && type != DT_REG) {
            continue;
        }
        const QByteArray bytes(item->d_name);
        const auto decoded = decodeUtf8(bytes);
        if (!decoded) {
            continue;
        }
        QString path = relative.isEmpty() ? *decoded : relative + u'/' + *decoded;
        // An excluded folder is never opened: its own name decides, not only its parents'.
        if (RepositoryIndexer::isExcluded(path) ||
            (type == DT_DIR && excludedDirectoryNames().contains(decoded->toLower()))) {
            continue;
        }
        if (type == DT_DIR) {
            folders.emplace_back(bytes, std::move(path));
            continue;
        }
        files.append(std::move(path));
        if (list.size() + files.size() >= maxEntries) {
            full = true;
            break;
        }
    }
    ::closedir(dir);
    list.append(files);
    if (full) {
        return false;
    }
    std::sort(folders.begin(), folders.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& folder : folders) {
        if (!walkFolder(rootBytes, folder.second, maxEntries, list, stop)) {
            return false;
        }
    }
    return true;
}

QStringList walkTrackedFiles(const QString& root, qint64 maxEntries, const IndexingStop* stop) {
    QStringList list;
    if (maxEntries > 0) {
        walkFolder(encodePath(root), QString(), maxEntries, list, stop);
    }
    // Ascending by code point, which UTF-8 byte order gives.
    std::vector<std::pair<QByteArray, QString>> keyed;
    keyed.reserve(list.size());
    for (QString& path : list) {
        keyed.emplace_back(path.toUtf8(), std::move(path));
    }
    std::sort(keyed.begin(), keyed.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    QStringList sorted;
    sorted.reserve(static_cast<qsizetype>(keyed.size()));
    for (auto& [key, path] : keyed) {
        sorted.append(std::move(path));
    }
    return sorted;
}

bool isExecutableFile(const QString& path) {
    struct stat st;
    return exists(path, &st) && S_ISREG(st.st_mode) &&
           ::access(encodePath(path).constData(), X_OK) == 0;
}

} // namespace

IndexingStop::IndexingStop() : m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

IndexingStop::~IndexingStop() {
    if (m_wake >= 0) {
        ::close(m_wake);
    }
}

void IndexingStop::request() {
    if (!m_requested.exchange(true, std::memory_order_acq_rel) && m_wake >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(m_wake, &one, sizeof one);
    }
}

std::optional<QString> RepositoryIndexer::findRepositoryRoot(const QString& startingAt) {
    QString current = standardized(startingAt);
    if (current.isEmpty()) {
        return std::nullopt;
    }
    struct stat st;
    if (exists(current, &st) && !S_ISDIR(st.st_mode)) {
        current = parentOf(current);
    }
    while (true) {
        if (current == u"/"_s) {
            return std::nullopt;
        }
        if (exists(current + u"/.git"_s)) {
            return standardized(current);
        }
        const QString parent = parentOf(current);
        if (parent == current) {
            return std::nullopt;
        }
        current = parent;
    }
}

std::optional<QString> RepositoryIndexer::resolvedGitProgram() const {
    if (gitProgram) {
        if (!gitProgram->isEmpty() && isExecutableFile(*gitProgram)) {
            return gitProgram;
        }
        return std::nullopt;
    }
    const QString system = u"/usr/bin/git"_s;
    if (isExecutableFile(system)) {
        return system;
    }
    const QString found = QStandardPaths::findExecutable(u"git"_s);
    return found.isEmpty() ? std::nullopt : std::optional<QString>(found);
}

RepositoryIndexer::Listing RepositoryIndexer::listTrackedFiles(const QString& root) const {
    if (const auto git = resolvedGitProgram()) {
        if (auto listing =
                listWithGit(*git, root, limits.maxTrackedFiles, gitTimeLimit, stop.get())) {
            return *listing;
        }
    }
    Listing listing;
    listing.paths = walkTrackedFiles(root, limits.maxTrackedFiles, stop.get());
    return listing;
}

QStringList RepositoryIndexer::trackedFiles(const QString& root) const {
    return listTrackedFiles(root).paths;
}

bool RepositoryIndexer::isExcluded(QStringView relativePath) {
    QString path = relativePath.toString();
    path.replace(u'\\', u'/');
    if (path.startsWith(u'/')) {
        return true;
    }
    for (QStringView component : QStringView(path).split(u'/')) {
        if (component == u"." || component == u"..") {
            return true;
        }
    }
    const QList<QStringView> components = QStringView(path).split(u'/', Qt::SkipEmptyParts);
    for (qsizetype i = 0; i + 1 < components.size(); ++i) {
        if (excludedDirectoryNames().contains(components[i].toString().toLower())) {
            return true;
        }
    }
    const QString last = components.isEmpty() ? QString() : components.last().toString().toLower();
    if (excludedFileNames().contains(last) || last.startsWith(u".env."_s)) {
        return true;
    }
    return std::any_of(excludedSuffixes().begin(), excludedSuffixes().end(),
                       [&](const QString& suffix) { return last.endsWith(suffix); });
}

bool RepositoryIndexer::isContainedRepositoryFile(const QString& relativePath,
                                                  const QString& root) {
    const auto resolvedRoot = resolved(standardized(root));
    return resolvedRoot && containedTarget(relativePath, *resolvedRoot).has_value();
}

bool RepositoryIndexer::isUsefulTerm(const QString& term) {
    if (term.size() < 3) {
        return false;
    }
    const qsizetype characters = isAscii(term) ? term.size() : unicode::graphemeCount(term);
    if (characters < 3 || characters > 80) {
        return false;
    }
    bool hasLetter = false;
    for (const char32_t c : term.toUcs4()) {
        if (unicode::isWhitespace(c)) {
            return false;
        }
        hasLetter = hasLetter || unicode::isLetter(c);
    }
    return hasLetter && !genericTerms().contains(unicode::toLower(term));
}

std::optional<QString> RepositoryIndexer::branchName(const QString& root) {
    QString gitFolder = root + u"/.git"_s;
    struct stat st;
    if (exists(gitFolder, &st) && !S_ISDIR(st.st_mode)) {
        if (const auto text = readSmallText(gitFolder); text && text->startsWith(u"gitdir:"_s)) {
            const QString target = trimmedUnicode(text->mid(7));
            gitFolder =
                QDir::cleanPath(QDir::isAbsolutePath(target) ? target : root + u'/' + target);
        }
    }
    const auto head = readSmallText(gitFolder + u"/HEAD"_s);
    if (!head) {
        return std::nullopt;
    }
    const QString text = trimmedUnicode(*head);
    if (text.isEmpty()) {
        return std::nullopt;
    }
    const QString prefix = u"ref: refs/heads/"_s;
    if (text.startsWith(prefix)) {
        // git's stub for another ref storage names ".invalid"; no real branch has a component
        // starting with a dot.
        const QString branch = text.mid(prefix.size());
        const bool valid = !branch.isEmpty() && !branch.startsWith(u'.') &&
                           !branch.contains(u"/."_s) && !branch.contains(u"..") &&
                           !branch.endsWith(u'/');
        return valid ? std::optional(branch) : std::nullopt;
    }
    // A detached HEAD holds a commit id; anything else (a tag, a remote ref) names no branch.
    const bool commitId = (text.size() == 40 || text.size() == 64) &&
                          std::all_of(text.begin(), text.end(), [](QChar c) {
                              return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f');
                          });
    return commitId ? std::optional(text.left(12)) : std::nullopt;
}

std::optional<QString> RepositoryIndexer::language(QStringView path) {
    const QString extension = fileExtension(lastComponent(path)).toLower();
    const auto found = languagesByExtension().constFind(extension);
    if (extension.isEmpty() || found == languagesByExtension().constEnd()) {
        return std::nullopt;
    }
    return *found;
}

std::optional<QString> RepositoryIndexer::readPrefix(const QString& file, qint64 maxBytes) {
    auto read = readBounded(file, maxBytes);
    if (!read) {
        return std::nullopt;
    }
    if (std::memchr(read->bytes.constData(), 0, static_cast<size_t>(read->bytes.size()))) {
        return std::nullopt;
    }
    if (read->cut) {
        read->bytes.truncate(completeUtf8Length(read->bytes));
    }
    return decodeUtf8(read->bytes);
}

QStringList RepositoryIndexer::extractIdentifiers(const QString& text) {
    static const unicode::Regex kTypes(
        uR"(\b(?:class|struct|enum|protocol|actor|interface|trait|type)\s+([A-Za-z_][A-Za-z0-9_]*))"_s);
    static const unicode::Regex kFunctions(
        uR"(\b(?:func|function|def|fn)\s+([A-Za-z_][A-Za-z0-9_]*))"_s);
    static const unicode::Regex kVariables(
        uR"(\b(?:let|var|const)\s+([A-Za-z_][A-Za-z0-9_]{3,}))"_s);
    QStringList identifiers;
    for (const unicode::Regex* pattern : {&kTypes, &kFunctions, &kVariables}) {
        for (const unicode::RegexMatch& match : pattern->allMatches(text)) {
            if (match.groupStarts.size() > 1 && match.groupStarts[1] >= 0) {
                identifiers.append(match.groups[1]);
            }
        }
    }
    return identifiers;
}

RepositoryContext RepositoryIndexer::index(const QString& root,
                                           const std::optional<QStringList>& trackedFiles) const {
    const QString standardRoot = standardized(root);
    const QString resolvedRoot = resolved(standardRoot).value_or(standardRoot);
    if (findRepositoryRoot(resolvedRoot) != resolvedRoot) {
        throw QuovantError::repositoryUnavailable(u"the selected folder is not a Git repository"_s);
    }

    QStringList listed = trackedFiles ? *trackedFiles : this->trackedFiles(resolvedRoot);
    if (listed.size() > limits.maxTrackedFiles) {
        listed.resize(std::max<qint64>(0, limits.maxTrackedFiles));
    }

    const QString rootPrefix = resolvedRoot.endsWith(u'/') ? resolvedRoot : resolvedRoot + u'/';
    struct Candidate {
        QString path;
        QString target;
    };
    QList<Candidate> candidates;
    for (const QString& entry : std::as_const(listed)) {
        if (isExcluded(entry)) {
            continue;
        }
        QString path = entry;
        path.replace(u'\\', u'/');
        qsizetype first = 0;
        qsizetype last = path.size();
        while (first < last && path[first] == u'/') {
            ++first;
        }
        while (last > first && path[last - 1] == u'/') {
            --last;
        }
        path = path.mid(first, last - first);
        if (path.isEmpty()) {
            continue;
        }
        const auto target = containedTarget(path, resolvedRoot);
        // A link to an excluded file inside the tree must not smuggle it into the reading.
        if (!target || isExcluded(target->mid(rootPrefix.size()))) {
            continue;
        }
        candidates.append({path, *target});
    }

    QStringList vocabulary;
    QSet<QString> seenKeys;
    auto addTerm = [&](const QString& term) {
        if (vocabulary.size() >= limits.maxVocabularyTerms) {
            return;
        }
        const QString trimmed = trimmedUnicode(term);
        if (!isUsefulTerm(trimmed)) {
            return;
        }
        const QString key = termKey(trimmed);
        if (!seenKeys.contains(key)) {
            seenKeys.insert(key);
            vocabulary.append(trimmed);
        }
    };

    const QString name = lastComponent(resolvedRoot).toString();
    addTerm(name);
    const auto branch = branchName(resolvedRoot);
    if (branch) {
        QString pieces = *branch;
        pieces.replace(u'_', u'/').replace(u'-', u'/');
        for (const QString& piece : pieces.split(u'/', Qt::SkipEmptyParts)) {
            addTerm(piece);
        }
    }

    QStringList keyFiles;
    QList<Candidate> sourceFiles;
    std::map<QString, qint64> languageCounts;
    for (const Candidate& candidate : std::as_const(candidates)) {
        const QList<QStringView> components =
            QStringView(candidate.path).split(u'/', Qt::SkipEmptyParts);
        const QStringView last = lastComponent(candidate.path);
        addTerm(fileStem(last));
        for (qsizetype i = 0; i + 1 < components.size(); ++i) {
            addTerm(components[i].toString());
        }
        if (keyFileNames().contains(last.toString().toLower()) &&
            keyFiles.size() < limits.maxKeyFiles) {
            keyFiles.append(candidate.path);
        }
        if (const auto language = RepositoryIndexer::language(candidate.path)) {
            ++languageCounts[*language];
            if (sourceFiles.size() < limits.maxSourceFiles) {
                sourceFiles.append(candidate);
            }
        }
    }

    for (const Candidate& source : std::as_const(sourceFiles)) {
        if (vocabulary.size() >= limits.maxVocabularyTerms || (stop && stop->requested())) {
            break;
        }
        if (const auto text = readPrefix(source.target, limits.maxBytesPerSourceFile)) {
            for (const QString& identifier : extractIdentifiers(*text)) {
                addTerm(identifier);
            }
        }
    }

    for (const Candidate& source : std::as_const(sourceFiles)) {
        if (keyFiles.size() >= limits.maxKeyFiles) {
            break;
        }
        if (!keyFiles.contains(source.path)) {
            keyFiles.append(source.path);
        }
    }

    std::vector<std::pair<QString, qint64>> counted(languageCounts.begin(), languageCounts.end());
    std::stable_sort(counted.begin(), counted.end(), [](const auto& a, const auto& b) {
        return a.second != b.second ? a.second > b.second : a.first < b.first;
    });
    QStringList languages;
    for (const auto& [language, count] : counted) {
        languages.append(language);
    }

    return RepositoryContext{resolvedRoot, name, branch, languages, keyFiles, vocabulary};
}

} // namespace quovant
