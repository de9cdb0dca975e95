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

TEST(RepositoryIndexerTest, ExcludesCredentialsBuildOutputAndEscapingPaths) {
    const std::pair<const char*, bool> cases[] = {
        {"Sources/Secrets/Key.swift", true},
        {"node_modules/x/index.js", true},
        {".env.local", true},
        {".env", true},
        {"config/.ENV", true},
        {"cert.PEM", true},
        {"keys/server.key", true},
        {"release.zip", true},
        {"id_ed25519", true},
        {"x/VENDOR/y.go", true},
        {"../outside.txt", true},
        {"/etc/passwd", true},
        {"a\\..\\b.swift", true},
        {"\\etc\\passwd", true},
        {"src/./a.swift", true},
        {"build/out.o", true},
        {"build", false},
        {"vendor", false},
        {"a//b.swift", false},
        {"Sources/App.swift", false},
        {"docs/environment.md", false},
        {".envrc", false},
        {"", false},
    };
    for (const auto& [path, excluded] : cases) {
        EXPECT_EQ(RepositoryIndexer::isExcluded(QString::fromUtf8(path)), excluded) << path;
    }
}

TEST(RepositoryIndexerTest, NamesLanguagesByLastExtension) {
    const std::pair<const char*, const char*> cases[] = {
        {"a/b.SWIFT", "Swift"},  {"x.mm", "Objective-C"}, {"x.tsx", "TypeScript"},
        {"x.cjs", "JavaScript"}, {"x.hpp", "C++"},        {"x.h", "C"},
        {"x.fish", "Shell"},     {"x.scss", "Web"},       {"x.tar.go", "Go"},
        {"Makefile", nullptr},   {"x.txt", nullptr},      {"dir.swift/file", nullptr},
        {"x.", nullptr},
    };
    for (const auto& [path, name] : cases) {
        const auto language = RepositoryIndexer::language(QString::fromUtf8(path));
        if (name) {
            EXPECT_EQ(language, QString::fromUtf8(name)) << path;
        } else {
            EXPECT_FALSE(language) << path;
        }
    }
}

TEST(RepositoryIndexerTest, AdmitsOnlyUsefulTerms) {
    const std::pair<QString, bool> cases[] = {
        {u"src"_s, false},
        {u"SRC"_s, false},
        {u"Helpers"_s, false},
        {u"ab"_s, false},
        {u"my term"_s, false},
        {u"1234"_s, false},
        {u"abc"_s, true},
        {u"a1_"_s, true},
        {u"Ünïcode"_s, true},
        {QString(80, u'x'), true},
        {QString(81, u'x'), false},
        // Two user-perceived characters in four code units.
        {u"e\u0301e\u0301"_s, false},
        {u"e\u0301e\u0301e\u0301"_s, true},
    };
    for (const auto& [term, useful] : cases) {
        EXPECT_EQ(RepositoryIndexer::isUsefulTerm(term), useful) << term.toStdString();
    }
}

TEST(RepositoryIndexerTest, ExtractsTypesThenFunctionsThenVariables) {
    const QString text = uR"(func start() {}
class Engine {}
let x = 1
var longName = 2
def run(): pass
struct Point
const abc = 1
classify Wrong
subclass Wrong
interface  Shape)"_s;
    EXPECT_EQ(
        RepositoryIndexer::extractIdentifiers(text),
        (QStringList{u"Engine"_s, u"Point"_s, u"Shape"_s, u"start"_s, u"run"_s, u"longName"_s}));
}

TEST(RepositoryIndexerTest, FindsTheNearestRootFromFilesFoldersAndMissingPaths) {
    GitRepository repository;
    repository.write(u"Sources/Deep/File.swift"_s, "x");
    ScratchFolder outside;
    outside.write(u"nested/file.txt"_s, "x");
    ScratchFolder worktreeLike;
    worktreeLike.write(u".git"_s, "gitdir: /nowhere\n");

    EXPECT_EQ(RepositoryIndexer::findRepositoryRoot(repository.path(u"Sources/Deep/File.swift"_s)),
              repository.root());
    EXPECT_EQ(RepositoryIndexer::findRepositoryRoot(repository.path(u"Sources/Deep/"_s)),
              repository.root());
    EXPECT_EQ(RepositoryIndexer::findRepositoryRoot(repository.path(u"Sources/../Sources/x/y"_s)),
              repository.root());
    EXPECT_EQ(RepositoryIndexer::findRepositoryRoot(worktreeLike.path(u"sub"_s)),
              worktreeLike.path());
    EXPECT_FALSE(RepositoryIndexer::findRepositoryRoot(outside.path(u"nested/file.txt"_s)));
    EXPECT_FALSE(RepositoryIndexer::findRepositoryRoot(u"/"_s));
    EXPECT_FALSE(RepositoryIndexer::findRepositoryRoot(QString()));
}

TEST(RepositoryIndexerTest, ReadsBranchFromHeadAndLinkedWorktrees) {
    GitRepository repository;
    repository.write(u"a.txt"_s, "a");
    repository.commitAll();
    repository.git({u"checkout"_s, u"-q"_s, u"-b"_s, u"feature/add-login_flow"_s});
    EXPECT_EQ(RepositoryIndexer::branchName(repository.root()), u"feature/add-login_flow"_s);

    ScratchFolder worktrees;
    const QString worktree = worktrees.path(u"wt"_s);
    repository.git({u"worktree"_s, u"add"_s, u"-q"_s, u"-b"_s, u"wt-branch"_s, worktree});
    ASSERT_TRUE(testing::readFile(worktree + u"/.git"_s).startsWith("gitdir: /"));
    EXPECT_EQ(RepositoryIndexer::findRepositoryRoot(worktree), worktree);
    EXPECT_EQ(RepositoryIndexer::branchName(worktree), u"wt-branch"_s);

    ScratchFolder relative;
    relative.write(u"real/HEAD"_s, "ref: refs/heads/relative-branch\n");
    relative.write(u"checkout/.git"_s, "gitdir:  ../real \n");
    EXPECT_EQ(RepositoryIndexer::branchName(relative.path(u"checkout"_s)), u"relative-branch"_s);

    ScratchFolder detached;
    detached.write(u".git/HEAD"_s, "  0123456789abcdef0123456789abcdef01234567\n");
    EXPECT_EQ(RepositoryIndexer::branchName(detached.path()), u"0123456789ab"_s);
    detached.write(u".git/HEAD"_s, " \n");
    EXPECT_FALSE(RepositoryIndexer::branchName(detached.path()));
    detached.write(u".git/HEAD"_s, "ref: refs/heads/\xff\n");
    EXPECT_FALSE(RepositoryIndexer::branchName(detached.path()));
}

TEST(RepositoryIndexerTest, ReadPrefixYieldsTextOnlyForReadableUtf8RegularFiles) {
    ScratchFolder folder;
    const qint64 limit = 16;
    folder.write(u"plain.swift"_s, "let valueName = 1");
    folder.write(u"zeros.swift"_s, QByteArray(4096, '\0'));
    folder.write(u"invalid.swift"_s, "let a\xff = 1");
    folder.write(u"overlong.swift"_s, "\xc0\xaf");
    folder.write(u"surrogate.swift"_s, "\xed\xa0\x80");
    // 15 ASCII bytes then "é": the limit falls between its two bytes.
    folder.write(u"cut.swift"_s, QByteArray(15, 'a') + "\xc3\xa9" + "tail");
    // 15 ASCII bytes then a three-byte character cut after its second byte.
    folder.write(u"cut3.swift"_s, QByteArray(14, 'a') + "\xe2\x82\xac" + "tail");
    // Exactly at the limit and itself ending in half a character: genuinely invalid.
    folder.write(u"halfAtEnd.swift"_s, QByteArray(15, 'a') + "\xc3");
    folder.write(u"zeroAfterLimit.swift"_s, QByteArray(16, 'a') + QByteArray(4, '\0'));
    ASSERT_EQ(::mkfifo(QFile::encodeName(folder.path(u"pipe.swift"_s)).constData(), 0600), 0);
    QDir().mkpath(folder.path(u"folder.swift"_s));

    const std::pair<QString, std::optional<QString>> cases[] = {
        {u"plain.swift"_s, u"let valueName = "_s},
        {u"zeros.swift"_s, std::nullopt},
        {u"invalid.swift"_s, std::nullopt},
        {u"overlong.swift"_s, std::nullopt},
        {u"surrogate.swift"_s, std::nullopt},
        {u"cut.swift"_s, QString(15, u'a')},
        {u"cut3.swift"_s, QString(14, u'a')},
        {u"halfAtEnd.swift"_s, std::nullopt},
        {u"zeroAfterLimit.swift"_s, QString(16, u'a')},
        {u"pipe.swift"_s, std::nullopt},
        {u"folder.swift"_s, std::nullopt},
        {u"missing.swift"_s, std::nullopt},
    };
    for (const auto& [name, expected] : cases) {
        EXPECT_EQ(RepositoryIndexer::readPrefix(folder.path(name), limit), expected)
            << name.toStdString();
    }
}

TEST(RepositoryIndexerTest, IdentifiersSurviveACutInsideAMultiByteCharacter) {
    GitRepository repository;
    // The 128 KiB cut falls between the two bytes of "é".
    QByteArray source = "class KeptType {}\n";
    source += QByteArray(kLimits.maxBytesPerSourceFile - 1 - source.size(), ' ');
    source += "\xc3\xa9\nclass LaterType {}\n";
    repository.write(u"Widget.swift"_s, source);
    repository.commitAll();

    const RepositoryContext context = indexer().index(repository.root());
    EXPECT_TRUE(context.vocabulary.contains(u"KeptType"_s));
    EXPECT_FALSE(context.vocabulary.contains(u"LaterType"_s));
}

TEST(RepositoryIndexerTest, RefusesFoldersThatAreNotRepositoryRoots) {
    GitRepository repository;
    repository.write(u"Sources/a.swift"_s, "x");
    ScratchFolder plain;
    for (const QString& folder :
         {repository.path(u"Sources"_s), plain.path(), plain.path(u"missing"_s),
          repository.path(u"Sources/a.swift"_s)}) {
        try {
            indexer().index(folder);
            ADD_FAILURE() << "indexed " << folder.toStdString();
        } catch (const QuovantError& error) {
            EXPECT_EQ(error.kind(), QuovantError::Kind::repositoryUnavailable);
            EXPECT_EQ(error.payload(), u"the selected folder is not a Git repository"_s);
        }
    }
}

TEST(RepositoryIndexerTest, IndexesNameBranchTermsLanguagesAndKeyFiles) {
    GitRepository repository;
    repository.write(u"README.md"_s, "# readme");
    repository.write(u"Sources/Billing/MyService.swift"_s,
                     "struct myservice {}\nfunc chargeCard() {}\nlet amountDue = 1\n");
    repository.write(u"Sources/Billing/Invoice.swift"_s, "class Invoice {}\n");
    repository.write(u"cmd/server.go"_s, "func serveHTTP() {}\n");
    repository.write(u"cmd/client.go"_s, "func dialRemote() {}\n");
    repository.write(u"web/Makefile"_s, "all:\n");
    repository.write(u"notes.txt"_s, "class NotSource {}\n");
    repository.commitAll();
    repository.git({u"checkout"_s, u"-q"_s, u"-b"_s, u"feature/add-login_flow"_s});
    ScratchFolder links;
    const QString linkedRoot = links.path(u"linked"_s);
    ASSERT_EQ(QFile::link(repository.root(), linkedRoot), true);

    const RepositoryContext context = indexer().index(linkedRoot + u"/."_s);

    EXPECT_EQ(context.rootPath, repository.root());
    EXPECT_EQ(context.name, QDir(repository.root()).dirName());
    EXPECT_EQ(context.branch, u"feature/add-login_flow"_s);
    // Git order: README.md, Sources/..., cmd/..., notes.txt, web/Makefile.
    EXPECT_EQ(context.vocabulary,
              (QStringList{context.name, u"add"_s, u"login"_s, u"flow"_s, u"README"_s, u"Invoice"_s,
                           u"Billing"_s, u"MyService"_s, u"client"_s, u"cmd"_s, u"server"_s,
                           u"notes"_s, u"Makefile"_s, u"web"_s, u"chargeCard"_s, u"amountDue"_s,
                           u"dialRemote"_s, u"serveHTTP"_s}));
    EXPECT_EQ(context.languages, (QStringList{u"Go"_s, u"Swift"_s}));
    EXPECT_EQ(context.keyFiles,
              (QStringList{u"README.md"_s, u"web/Makefile"_s, u"Sources/Billing/Invoice.swift"_s,
                           u"Sources/Billing/MyService.swift"_s, u"cmd/client.go"_s,
                           u"cmd/server.go"_s}));
}

TEST(RepositoryIndexerTest, StaysWithinEveryLimit) {
    GitRepository repository;
    for (int i = 0; i < 12; ++i) {
        const QString n = u"%1"_s.arg(i, 2, 10, QChar(u'0'));
        repository.write(u"pkg"_s + n + u"/Makefile"_s, "all:\n");
        repository.write(u"pkg"_s + n + u"/mod"_s + n + u".py"_s,
                         "def function_" + n.toUtf8() + "_alpha(): pass\n");
    }
    repository.commitAll();
    const RepositoryIndexLimits small{20, 3, 1024, 9, 5};
    const RepositoryContext context = indexer(small).index(repository.root());
    EXPECT_EQ(context.vocabulary.size(), 9);
    EXPECT_EQ(context.keyFiles.size(), 5);
    // Only the first 20 listed paths count: pkg00..pkg09, two files each.
    EXPECT_EQ(context.languages, QStringList{u"Python"_s});
    EXPECT_FALSE(context.vocabulary.contains(u"pkg10"_s));

    const RepositoryIndexLimits fewKeys{20, 3, 1024, 320, 1};
    const RepositoryContext keys = indexer(fewKeys).index(repository.root());
    EXPECT_EQ(keys.keyFiles, QStringList{u"pkg00/Makefile"_s});
    // Three source files read, in listing order.
    EXPECT_TRUE(keys.vocabulary.contains(u"function_02_alpha"_s));
    EXPECT_FALSE(keys.vocabulary.contains(u"function_03_alpha"_s));
}

TEST(RepositoryIndexerTest, SortsEqualLanguageCountsByName) {
    GitRepository repository;
    repository.write(u"a.swift"_s, "");
    repository.write(u"b.go"_s, "");
    repository.write(u"c.py"_s, "");
    repository.write(u"d.py"_s, "");
    repository.commitAll();
    EXPECT_EQ(indexer().index(repository.root()).languages,
              (QStringList{u"Python"_s, u"Go"_s, u"Swift"_s}));
}

TEST(RepositoryIndexerTest, GivenTrackedFilesReplaceTheListing) {
    GitRepository repository;
    repository.write(u"Alpha.swift"_s, "class AlphaType {}\n");
    repository.write(u"Beta.swift"_s, "class BetaType {}\n");
    const RepositoryContext context =
        indexer().index(repository.root(), QStringList{u"/Alpha.swift"_s, u"Beta.swift/"_s,
                                                       u"Missing.swift"_s, u""_s, u"/"_s});
    EXPECT_EQ(context.keyFiles, QStringList{u"Beta.swift"_s});
    EXPECT_TRUE(context.vocabulary.contains(u"BetaType"_s));
    EXPECT_FALSE(context.vocabulary.contains(u"AlphaType"_s));
}

TEST(RepositoryIndexerTest, GitListingStopsAtTheEntryLimit) {
    GitRepository repository;
    for (int i = 0; i < 40; ++i) {
        repository.write(u"f%1.txt"_s.arg(i, 2, 10, QChar(u'0')), "x");
    }
    repository.commitAll();
    const auto listing = indexer({10, 160, 131072, 320, 24}).listTrackedFiles(repository.root());
    EXPECT_TRUE(listing.fromGit);
    EXPECT_TRUE(listing.stoppedAtLimit);
    QStringList expected;
    for (int i = 0; i < 10; ++i) {
        expected.append(u"f%1.txt"_s.arg(i, 2, 10, QChar(u'0')));
    }
    EXPECT_EQ(listing.paths, expected);

    const auto whole = indexer().listTrackedFiles(repository.root());
    EXPECT_FALSE(whole.stoppedAtLimit);
    EXPECT_EQ(whole.paths.size(), 40);
}

TEST(RepositoryIndexerTest, EndlessGitOutputIsCutAtTheByteBudgetAndGitIsStopped) {
    ScratchFolder tools;
    const QString pidFile = tools.path(u"pid"_s);
    tools.write(u"endless-names"_s, "#!/bin/sh\necho $$ > '" + pidFile.toUtf8() +
                                        "'\nwhile :; do printf 'a.swift\\000'; done\n");
    tools.write(u"endless-bytes"_s,
                "#!/bin/sh\necho $$ > '" + pidFile.toUtf8() + "'\nexec yes abcdefgh\n");
    for (const QString& name : {u"endless-names"_s, u"endless-bytes"_s}) {
        QFile::setPermissions(tools.path(name), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    }
    GitRepository repository;

    const auto names = indexer({50, 160, 131072, 320, 24}, tools.path(u"endless-names"_s))
                           .listTrackedFiles(repository.root());
    EXPECT_TRUE(names.stoppedAtLimit);
    EXPECT_EQ(names.paths, QStringList(50, u"a.swift"_s));
    const pid_t namesPid = testing::readFile(pidFile).trimmed().toInt();
    ASSERT_GT(namesPid, 0);
    EXPECT_NE(::kill(namesPid, 0), 0) << "the listing program is still running";

    const auto bytes = indexer({50, 160, 131072, 320, 24}, tools.path(u"endless-bytes"_s))
                           .listTrackedFiles(repository.root());
    EXPECT_TRUE(bytes.stoppedAtLimit);
    EXPECT_TRUE(bytes.paths.isEmpty());
    EXPECT_GE(bytes.bytesRead, 262144);
    EXPECT_LT(bytes.bytesRead, 262144 + 32768 + 1);
    const pid_t bytesPid = testing::readFile(pidFile).trimmed().toInt();
    EXPECT_NE(::kill(bytesPid, 0), 0) << "the listing program is still running";
}

TEST(RepositoryIndexerTest, MissingOrBrokenGitFallsBackToASortedWalk) {
    GitRepository repository;
    repository.write(u"b/Zed.swift"_s, "class ZedType {}\n");
    repository.write(u"a.swift"_s, "");
    repository.write(u"B.txt"_s, "");
    repository.write(u".hidden/x.swift"_s, "");
    repository.write(u".hiddenfile"_s, "");
    repository.write(u"build/out.swift"_s, "");
    repository.write(u"é.swift"_s, "");
    repository.write(u"\u6F22.swift"_s, "");
    repository.symlink(repository.path(u"a.swift"_s), u"link.swift"_s);
    repository.commitAll();
    const QStringList walked{u"B.txt"_s, u"a.swift"_s, u"b/Zed.swift"_s, u"é.swift"_s,
                             u"\u6F22.swift"_s};

    ScratchFolder tools;
    tools.write(u"failing-git"_s, "#!/bin/sh\nprintf 'partial.swift\\000'\nexit 3\n");
    QFile::setPermissions(tools.path(u"failing-git"_s),
                          QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    for (const QString& git :
         {QString(), tools.path(u"missing-git"_s), tools.path(u"failing-git"_s)}) {
        const auto listing = indexer(kLimits, git).listTrackedFiles(repository.root());
        EXPECT_FALSE(listing.fromGit) << git.toStdString();
        EXPECT_EQ(listing.paths, walked) << git.toStdString();
    }
    EXPECT_TRUE(
        indexer(kLimits, QString()).index(repository.root()).vocabulary.contains(u"ZedType"_s));

    // A damaged repository makes the real git fail.
    testing::writeFile(repository.path(u".git/HEAD"_s), "garbage");
    testing::writeFile(repository.path(u".git/index"_s), "garbage");
    const auto damaged = indexer().listTrackedFiles(repository.root());
    EXPECT_FALSE(damaged.fromGit);
    EXPECT_EQ(damaged.paths, walked);
    EXPECT_EQ(indexer().index(repository.root()).branch, u"garbage"_s);

    const auto limited =
        indexer({2, 160, 131072, 320, 24}, QString()).listTrackedFiles(repository.root());
    EXPECT_EQ(limited.paths.size(), 2);
}

TEST(RepositoryIndexerTest, DropsTrackedPathsThatAreNotUtf8) {
    GitRepository repository;
    repository.write(u"good.swift"_s, "class GoodType {}\n");
    const QByteArray badName = QFile::encodeName(repository.root()) + "/bad\xff.swift";
    {
        const int fd = ::open(badName.constData(), O_CREAT | O_WRONLY, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, "class BadType {}\n", 17), 17);
        ::close(fd);
    }
    // QTemporaryDir cannot remove a name it cannot decode.
    const auto removeBadName = qScopeGuard([&] { ::unlink(badName.constData()); });
    repository.commitAll();
    ASSERT_TRUE(repository.git({u"ls-files"_s, u"-z"_s}).contains("bad\xff.swift"));

    EXPECT_EQ(indexer().trackedFiles(repository.root()), QStringList{u"good.swift"_s});
    const RepositoryContext context = indexer().index(repository.root());
    EXPECT_TRUE(context.vocabulary.contains(u"GoodType"_s));
    EXPECT_FALSE(context.vocabulary.contains(u"BadType"_s));
}

TEST(RepositoryIndexerTest, HandlesZeroFilesAndHugeSingleLineFilesWithinTheLimits) {
    GitRepository repository;
    repository.write(u"zeros.swift"_s, QByteArray(1 << 20, '\0'));
    QByteArray line = "let firstVariable = 1; ";
    line += QByteArray(10 * 1024 * 1024, 'x');
    line += " class BeyondTheCut {}";
    repository.write(u"huge.swift"_s, line);
    repository.commitAll();
    const RepositoryContext context = indexer().index(repository.root());
    EXPECT_TRUE(context.vocabulary.contains(u"firstVariable"_s));
    EXPECT_FALSE(context.vocabulary.contains(u"BeyondTheCut"_s));
    EXPECT_EQ(context.keyFiles, (QStringList{u"huge.swift"_s, u"zeros.swift"_s}));
}

} // namespace
} // namespace quovant
