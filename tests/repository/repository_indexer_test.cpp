#include "repository/git_repository_fixture.h"
#include "repository/repository_indexer.h"

#include "core/quovant_error.h"
#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace quovant {
namespace {

using testing::GitRepository;
using testing::ScratchFolder;

const RepositoryIndexLimits kLimits{5000, 160, 131072, 320, 24};

RepositoryIndexer indexer(RepositoryIndexLimits limits = kLimits,
                          std::optional<QString> git = std::nullopt) {
    return RepositoryIndexer{limits, std::move(git)};
}

// What this thread has read so far, from the kernel's own count; `ownBytes` is what reading the
// count took, which the next count includes.
struct ThreadReads {
    qint64 bytes = -1;
    qint64 ownBytes = 0;
};

ThreadReads threadReads() {
    char text[1024];
    const int fd = ::open("/proc/thread-self/io", O_RDONLY | O_CLOEXEC);
    const ssize_t n = fd < 0 ? -1 : ::read(fd, text, sizeof text);
    if (fd >= 0) {
        ::close(fd);
    }
    ThreadReads reads;
    for (const QByteArray& line : QByteArray(text, std::max<ssize_t>(n, 0)).split('\n')) {
        if (line.startsWith("rchar:")) {
            reads.bytes = line.mid(6).trimmed().toLongLong();
        }
    }
    reads.ownBytes = std::max<ssize_t>(n, 0);
    return reads;
}

TEST(RepositoryIndexerTest, ExcludesCredentialsBuildOutputAndEscapingPaths) {
    const std::pair<const char*, bool> cases[] = {
        {"Sources/Secrets/Key.swift", true},
        {".env.local", true},
        {"config/.ENV", true},
        {"cert.PEM", true},
        {"../outside.txt", true},
        {"/etc/passwd", true},
        {"a\\..\\b.swift", true},
        {"src/./a.swift", true},
        // One row per excluded folder, file name and suffix.
        {"app/.git/x.swift", true},
        {"app/.build/x.swift", true},
        {"app/build/x.swift", true},
        {"app/dist/x.swift", true},
        {"app/node_modules/x.swift", true},
        {"app/vendor/x.swift", true},
        {"app/vendors/x.swift", true},
        {"app/Pods/x.swift", true},
        {"app/DerivedData/x.swift", true},
        {"app/.venv/x.swift", true},
        {"app/venv/x.swift", true},
        {"app/target/x.swift", true},
        {"app/coverage/x.swift", true},
        {"app/.next/x.swift", true},
        {"app/.cache/x.swift", true},
        {"app/secrets/x.swift", true},
        {"app/secret/x.swift", true},
        {"deploy/.env", true},
        {"deploy/Secrets.plist", true},
        {"deploy/credentials.json", true},
        {"deploy/credentials.yaml", true},
        {"deploy/credentials.yml", true},
        {"deploy/secrets.json", true},
        {"deploy/id_rsa", true},
        {"deploy/id_ed25519", true},
        {"deploy/known_hosts", true},
        {"deploy/.npmrc", true},
        {"deploy/.pypirc", true},
        {"signing/cert.pem", true},
        {"signing/cert.key", true},
        {"signing/cert.p12", true},
        {"signing/cert.pfx", true},
        {"signing/cert.mobileprovision", true},
        {"signing/cert.dmg", true},
        {"signing/cert.zip", true},
        {"build", false},
        {"a//b.swift", false},
        {".envrc", false},
    };
    for (const auto& [path, excluded] : cases) {
        EXPECT_EQ(RepositoryIndexer::isExcluded(QString::fromUtf8(path)), excluded) << path;
    }
}

TEST(RepositoryIndexerTest, AdmitsOnlyUsefulTerms) {
    const std::pair<QString, bool> cases[] = {
        {u"src"_s, false},
        {u"Helpers"_s, false},
        {u"ab"_s, false},
        {u"my term"_s, false},
        {u"1234"_s, false},
        {u"a1_"_s, true},
        {QString(80, u'x'), true},
        {QString(81, u'x'), false},
        // Counted in user-perceived characters, not code units.
        {u"e\u0301e\u0301"_s, false},
    };
    for (const auto& [term, useful] : cases) {
        EXPECT_EQ(RepositoryIndexer::isUsefulTerm(term), useful) << term.toStdString();
    }
}

TEST(RepositoryIndexerTest, ExtractsTypesThenFunctionsThenVariables) {
    const QString text = u"func start() {}\nclass Engine {}\nlet x = 1\nvar longName = 2\n"
                         u"def run(): pass\nconst abc = 1\nclassify Wrong\nsubclass Wrong\n"_s;
    EXPECT_EQ(RepositoryIndexer::extractIdentifiers(text),
              (QStringList{u"Engine"_s, u"start"_s, u"run"_s, u"longName"_s}));
}

TEST(RepositoryIndexerTest, FindsRootsAndBranchesIncludingLinkedWorktrees) {
    GitRepository repository;
    repository.write(u"Sources/Deep/File.swift"_s, "x");
    repository.commitAll();
    repository.git({u"checkout"_s, u"-q"_s, u"-b"_s, u"feature/add-login_flow"_s});
    ScratchFolder other;
    const QString worktree = other.path(u"wt"_s);
    repository.git({u"worktree"_s, u"add"_s, u"-q"_s, u"-b"_s, u"wt-branch"_s, worktree});
    other.write(u"detached/.git/HEAD"_s, "  0123456789abcdef0123456789abcdef01234567\n");

    EXPECT_EQ(RepositoryIndexer::findRepositoryRoot(repository.path(u"Sources/Deep/File.swift"_s)),
              repository.root());
    EXPECT_EQ(RepositoryIndexer::findRepositoryRoot(repository.path(u"Sources/../Sources/x"_s)),
              repository.root());
    EXPECT_EQ(RepositoryIndexer::findRepositoryRoot(worktree + u"/sub"_s), worktree);
    EXPECT_FALSE(RepositoryIndexer::findRepositoryRoot(other.path()));
    EXPECT_FALSE(RepositoryIndexer::findRepositoryRoot(u"/"_s));

    EXPECT_EQ(RepositoryIndexer::branchName(repository.root()), u"feature/add-login_flow"_s);
    EXPECT_EQ(RepositoryIndexer::branchName(worktree), u"wt-branch"_s);
    EXPECT_EQ(RepositoryIndexer::branchName(other.path(u"detached"_s)), u"0123456789ab"_s);
    // What names no branch is absent rather than shown as a cut-off ref.
    for (const char* head : {" \n", "ref: refs/tags/v1.2\n", "ref: refs/heads/.invalid\n",
                             "ref: refs/remotes/origin/main\n", "ref: refs/heads/\n",
                             "not a commit id at all, but forty long\n"}) {
        other.write(u"detached/.git/HEAD"_s, head);
        EXPECT_FALSE(RepositoryIndexer::branchName(other.path(u"detached"_s))) << head;
    }
}

TEST(RepositoryIndexerTest, ReadPrefixYieldsTextOnlyForReadableUtf8RegularFiles) {
    ScratchFolder folder;
    folder.write(u"plain"_s, "let valueName = 1");
    folder.write(u"zeros"_s, QByteArray(4096, '\0'));
    folder.write(u"invalid"_s, "let a\xff = 1");
    folder.write(u"surrogate"_s, "\xed\xa0\x80");
    // The limit of 16 bytes falls inside "é" and inside "€": our own cut, so the text before
    // it is kept.
    folder.write(u"cut2"_s, QByteArray(15, 'a') + "\xc3\xa9tail");
    folder.write(u"cut3"_s, QByteArray(14, 'a') + "\xe2\x82\xac" + "tail");
    // Ending in half a character within the limit: the file itself is broken.
    folder.write(u"halfAtEnd"_s, QByteArray(15, 'a') + "\xc3");
    ASSERT_EQ(::mkfifo(QFile::encodeName(folder.path(u"pipe"_s)).constData(), 0600), 0);
    QDir().mkpath(folder.path(u"folder"_s));

    struct Case {
        QString name;
        std::optional<QString> text;
        qint64 bytesRead;
    };
    const Case cases[] = {
        {u"plain"_s, u"let valueName = "_s, 16}, {u"zeros"_s, std::nullopt, 16},
        {u"invalid"_s, std::nullopt, 10},        {u"surrogate"_s, std::nullopt, 3},
        {u"cut2"_s, QString(15, u'a'), 16},      {u"cut3"_s, QString(14, u'a'), 16},
        {u"halfAtEnd"_s, std::nullopt, 16},      {u"pipe"_s, std::nullopt, 0},
        {u"folder"_s, std::nullopt, 0},          {u"missing"_s, std::nullopt, 0},
    };
    for (const Case& c : cases) {
        const ThreadReads before = threadReads();
        EXPECT_EQ(RepositoryIndexer::readPrefix(folder.path(c.name), 16), c.text)
            << c.name.toStdString();
        // Never a byte past the limit, not even one to learn whether the file goes on.
        EXPECT_EQ(threadReads().bytes - before.bytes - before.ownBytes, c.bytesRead)
            << c.name.toStdString();
    }
}

TEST(RepositoryIndexerTest, RefusesFoldersThatAreNotRepositoryRoots) {
    GitRepository repository;
    repository.write(u"Sources/a.swift"_s, "x");
    ScratchFolder plain;
    for (const QString& folder : {repository.path(u"Sources"_s), plain.path()}) {
        try {
            indexer().index(folder);
            ADD_FAILURE() << "indexed " << folder.toStdString();
        } catch (const QuovantError& error) {
            EXPECT_EQ(error.description(),
                      u"Could not identify a repository: the selected folder is not a Git "
                      u"repository."_s);
        }
    }
}

TEST(RepositoryIndexerTest, IndexesNameBranchTermsLanguagesAndKeyFiles) {
    GitRepository repository;
    repository.write(u"README.md"_s, "# readme");
    repository.write(u"Sources/Billing/MyService.swift"_s,
                     "struct myservice {}\nfunc chargeCard() {}\nlet amountDue = 1\n");
    repository.write(u"cmd/server.go"_s, "func serveHTTP() {}\n");
    repository.write(u"web/Makefile"_s, "all:\n");
    repository.commitAll();
    repository.git({u"checkout"_s, u"-q"_s, u"-b"_s, u"feature/add-login_flow"_s});
    ScratchFolder links;
    ASSERT_TRUE(QFile::link(repository.root(), links.path(u"linked"_s)));

    const RepositoryContext context = indexer().index(links.path(u"linked/."_s));

    EXPECT_EQ(context.rootPath, repository.root());
    EXPECT_EQ(context.name, QDir(repository.root()).dirName());
    EXPECT_EQ(context.branch, u"feature/add-login_flow"_s);
    EXPECT_EQ(context.vocabulary,
              (QStringList{context.name, u"add"_s, u"login"_s, u"flow"_s, u"README"_s,
                           u"MyService"_s, u"Billing"_s, u"server"_s, u"cmd"_s, u"Makefile"_s,
                           u"web"_s, u"chargeCard"_s, u"amountDue"_s, u"serveHTTP"_s}));
    EXPECT_EQ(context.languages, (QStringList{u"Go"_s, u"Swift"_s}));
    EXPECT_EQ(context.keyFiles,
              (QStringList{u"README.md"_s, u"web/Makefile"_s, u"Sources/Billing/MyService.swift"_s,
                           u"cmd/server.go"_s}));
}

TEST(RepositoryIndexerTest, StaysWithinEveryLimit) {
    GitRepository repository;
    for (int i = 0; i < 12; ++i) {
        const QString n = u"%1"_s.arg(i, 2, 10, QChar(u'0'));
        repository.write(u"pkg"_s + n + u"/Makefile"_s, "all:\n");
        repository.write(u"pkg"_s + n + u"/mod.py"_s, "def function_" + n.toUtf8() + "(): pass\n");
    }
    repository.commitAll();
    const RepositoryContext few = indexer({20, 3, 1024, 9, 5}).index(repository.root());
    EXPECT_EQ(few.vocabulary.size(), 9);
    EXPECT_EQ(few.keyFiles.size(), 5);
    const RepositoryContext keys = indexer({20, 3, 1024, 320, 1}).index(repository.root());
    EXPECT_EQ(keys.keyFiles, QStringList{u"pkg00/Makefile"_s});
    EXPECT_FALSE(keys.vocabulary.contains(u"pkg10"_s)); // beyond the first 20 paths
    EXPECT_TRUE(keys.vocabulary.contains(u"function_02"_s));
    EXPECT_FALSE(keys.vocabulary.contains(u"function_03"_s)); // beyond 3 source files
}

TEST(RepositoryIndexerTest, GitListingIsCutAtTheLimitsAndGitIsStopped) {
    GitRepository repository;
    for (int i = 0; i < 40; ++i) {
        repository.write(u"f%1.txt"_s.arg(i, 2, 10, QChar(u'0')), "x");
    }
    repository.commitAll();
    const auto real = indexer({10, 160, 131072, 320, 24}).listTrackedFiles(repository.root());
    EXPECT_TRUE(real.fromGit && real.stoppedAtLimit);
    EXPECT_EQ(real.paths.first(), u"f00.txt"_s);
    EXPECT_EQ(real.paths.size(), 10);

    ScratchFolder tools;
    const QByteArray pidFile = tools.path(u"pid"_s).toUtf8();
    const QString bytes = tools.script(u"bytes"_s, "echo $$ > " + pidFile + "\nexec yes\n");
    const auto endlessBytes = indexer({50, 1, 1, 1, 1}, bytes).listTrackedFiles(repository.root());
    EXPECT_TRUE(endlessBytes.stoppedAtLimit && endlessBytes.paths.isEmpty());
    EXPECT_GE(endlessBytes.bytesRead, 262144);
    EXPECT_LE(endlessBytes.bytesRead, 262144 + 32768);
    EXPECT_NE(::kill(testing::readFile(tools.path(u"pid"_s)).trimmed().toInt(), 0), 0);
}

TEST(RepositoryIndexerTest, MissingOrBrokenGitFallsBackToASortedWalk) {
    GitRepository repository;
    for (const QString& name :
         {u"b/Zed.swift"_s, u"a.swift"_s, u"B.txt"_s, u".hidden/x.swift"_s, u".hiddenfile"_s,
          u"build/out.swift"_s, u"é.swift"_s, u"\u6F22.swift"_s}) {
        repository.write(name, "class ZedType {}\n");
    }
    repository.symlink(repository.path(u"a.swift"_s), u"link.swift"_s);
    repository.commitAll();
    const QStringList walked{u"B.txt"_s, u"a.swift"_s, u"b/Zed.swift"_s, u"é.swift"_s,
                             u"\u6F22.swift"_s};
    ScratchFolder tools;
    const QString failing = tools.script(u"git"_s, "printf 'partial.c\\000'\nexit 3\n");
    for (const QString& git : {QString(), tools.path(u"missing"_s), failing}) {
        const auto listing = indexer(kLimits, git).listTrackedFiles(repository.root());
        EXPECT_EQ(listing.paths, walked) << git.toStdString();
    }
    EXPECT_TRUE(
        indexer(kLimits, failing).index(repository.root()).vocabulary.contains(u"ZedType"_s));
    // Cut at the limit, still sorted and without repeats.
    const auto two = indexer({2, 1, 1, 1, 1}, QString()).listTrackedFiles(repository.root()).paths;
    EXPECT_TRUE(two.size() == 2 && two[0] < two[1]) << two.join(u' ').toStdString();

    // A damaged repository makes the real git fail.
    testing::writeFile(repository.path(u".git/index"_s), "garbage");
    testing::writeFile(repository.path(u".git/HEAD"_s), "garbage");
    const auto damaged = indexer().listTrackedFiles(repository.root());
    EXPECT_FALSE(damaged.fromGit);
    EXPECT_EQ(damaged.paths, walked);
}

TEST(RepositoryIndexerTest, SurvivesNonUtf8NamesZeroFilesAndHugeLines) {
    GitRepository repository;
    const QByteArray badName = QFile::encodeName(repository.root()) + "/bad\xff.swift";
    const int fd = ::open(badName.constData(), O_CREAT | O_WRONLY, 0600);
    ASSERT_EQ(::write(fd, "class BadType {}\n", 17), 17);
    ::close(fd);
    // QTemporaryDir cannot remove a name it cannot decode.
    const auto removeBadName = qScopeGuard([&] { ::unlink(badName.constData()); });
    repository.write(u"zeros.swift"_s, QByteArray(1 << 20, '\0'));
    repository.write(u"huge.swift"_s, "let firstVariable = 1; " + QByteArray(10 << 20, 'x') +
                                          " class BeyondTheCut {}");
    repository.commitAll();
    ASSERT_TRUE(repository.git({u"ls-files"_s, u"-z"_s}).contains("bad\xff.swift"));

    const RepositoryContext context = indexer().index(repository.root());
    EXPECT_EQ(context.keyFiles, (QStringList{u"huge.swift"_s, u"zeros.swift"_s}));
    EXPECT_TRUE(context.vocabulary.contains(u"firstVariable"_s));
    EXPECT_FALSE(context.vocabulary.contains(u"BeyondTheCut"_s));
    EXPECT_FALSE(context.vocabulary.contains(u"BadType"_s));
}

} // namespace
} // namespace quovant
