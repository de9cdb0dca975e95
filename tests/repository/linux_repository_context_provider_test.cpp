#include "repository/git_repository_fixture.h"
#include "repository/linux_repository_context_provider.h"
#include "repository/process_listing.h"

#include "settings/log.h"
#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QUrl>

#include <gtest/gtest.h>

#include <memory>

#include <signal.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace quovant {
namespace {

using testing::GitRepository;
using testing::run;
using testing::ScratchFolder;

class FakeFocusedWindow : public FocusedWindowInfoSource {
public:
    std::optional<FocusedApplication> frontmostApplication() override { return application; }
    std::optional<QString> focusedDocumentPath(qint32 processID) override {
        ++documentQueries;
        return processID == application.value_or(FocusedApplication{}).processID ? document
                                                                                 : std::nullopt;
    }

    std::optional<FocusedApplication> application;
    std::optional<QString> document;
    int documentQueries = 0;
};

// A child of this process that sleeps in a folder until the test ends.
class SleepingChild {
public:
    SleepingChild(const QString& program, const QString& workingDirectory) {
        m_process.setWorkingDirectory(workingDirectory);
        m_process.start(program, {u"60"_s});
        EXPECT_TRUE(m_process.waitForStarted()) << program.toStdString();
    }
    ~SleepingChild() {
        m_process.kill();
        m_process.waitForFinished();
    }
    qint32 processID() const { return static_cast<qint32>(m_process.processId()); }

private:
    QProcess m_process;
};

GitRepository& repositoryWithSource(GitRepository& repository, const QByteArray& typeName) {
    repository.write(u"Sources/Thing.swift"_s, "class " + typeName + " {}\n");
    repository.commitAll();
    return repository;
}

class LinuxRepositoryContextProviderTest : public ::testing::Test {
protected:
    LinuxRepositoryContextProviderTest() {
        repositoryWithSource(first, "FirstType");
        repositoryWithSource(second, "SecondType");
    }

    std::shared_ptr<FakeFocusedWindow> window = std::make_shared<FakeFocusedWindow>();
    GitRepository first;
    GitRepository second;
};

TEST_F(LinuxRepositoryContextProviderTest, ServesThePinnedRepositoryWithoutADesktop) {
    LinuxRepositoryContextProvider provider(nullptr);
    const auto pinned = first.path(u"Sources/Thing.swift"_s);

    EXPECT_FALSE(provider.cachedContext(u"editor"_s, pinned));
    const auto context = run(provider.refreshContext(u"editor"_s, pinned));
    ASSERT_TRUE(context);
    EXPECT_EQ(context->rootPath, first.root());
    EXPECT_TRUE(context->vocabulary.contains(u"FirstType"_s));
    EXPECT_EQ(provider.cachedContext(std::nullopt, first.path(u"Sources"_s)), context);
    EXPECT_EQ(provider.cachedContext(u"editor"_s, std::nullopt), context);
    EXPECT_FALSE(provider.cachedContext(u"other"_s, std::nullopt));

    EXPECT_FALSE(run(provider.refreshContext(std::nullopt, std::nullopt)));
    EXPECT_EQ(run(provider.refreshContext(u"editor"_s, std::nullopt)), context);
    // Indexed once per run: later changes on disk are not seen, other callers share the entry.
    first.write(u"Sources/New.swift"_s, "class NewType {}\n");
    first.commitAll();
    EXPECT_EQ(run(provider.refreshContext(u"other"_s, first.root())), context);
    EXPECT_EQ(provider.cachedContext(u"other"_s, std::nullopt), context);
    ScratchFolder plain;
    EXPECT_FALSE(run(provider.refreshContext(std::nullopt, plain.path())));

    Log::flush();
    const QByteArray log =
        testing::readFile(qEnvironmentVariable("QUOVANT_HOME") + u"/quovant.log"_s);
    const QString line = u"[INFO] Repository context ready · "_s + context->name + u" · "_s +
                         QString::number(context->vocabulary.size()) + u" local terms"_s;
    EXPECT_TRUE(QString::fromUtf8(log).contains(line)) << log.toStdString();
}

TEST_F(LinuxRepositoryContextProviderTest, PinnedPathThenFocusedDocumentDecideBeforeProcesses) {
    // Our own child sits in the first repository; the document must win over it.
    SleepingChild child(u"sleep"_s, first.root());
    window->application = FocusedApplication{u"editor"_s, static_cast<qint32>(::getpid())};
    LinuxRepositoryContextProvider provider(window);
    for (const QString& document :
         {second.path(u"Sources/Thing.swift"_s),
          QUrl::fromLocalFile(second.path(u"Sources/Thing.swift"_s)).toString()}) {
        window->document = document;
        const auto context = run(provider.refreshContext(u"editor"_s, std::nullopt));
        ASSERT_TRUE(context) << document.toStdString();
        EXPECT_EQ(context->rootPath, second.root()) << document.toStdString();
    }
    // A pinned repository wins even over another application's document.
    const auto pinned = run(provider.refreshContext(u"other"_s, first.path(u"Sources"_s)));
    ASSERT_TRUE(pinned);
    EXPECT_EQ(pinned->rootPath, first.root());
}

TEST_F(LinuxRepositoryContextProviderTest, FindsTheAgentAmongTheFrontmostProcessDescendants) {
    ScratchFolder tools;
    QDir().mkpath(tools.path(u"bin"_s));
    ASSERT_TRUE(QFile::link(u"/bin/sleep"_s, tools.path(u"bin/claude"_s)));
    SleepingChild shell(u"sleep"_s, first.path(u"Sources"_s));
    SleepingChild agent(tools.path(u"bin/claude"_s), second.root());

    const auto rows = ProcessListing::processRows();
    const auto agentRow = std::find_if(rows.begin(), rows.end(), [&](const ProcessRow& row) {
        return row.processID == agent.processID();
    });
    ASSERT_NE(agentRow, rows.end());
    EXPECT_EQ(agentRow->parentProcessID, ::getpid());
    EXPECT_EQ(agentRow->command, tools.path(u"bin/claude"_s) + u" 60"_s);
    EXPECT_EQ(ProcessListing::cwdByProcessID({shell.processID(), agent.processID(), -5}),
              (QHash<qint32, QString>{{shell.processID(), first.path(u"Sources"_s)},
                                      {agent.processID(), second.root()}}));

    EXPECT_EQ(LinuxRepositoryContextProvider::detectFromProcessTree(::getpid()), second.root());

    window->application = FocusedApplication{u"terminal"_s, static_cast<qint32>(::getpid())};
    window->document = u"not a path"_s;
    LinuxRepositoryContextProvider provider(window);
    const auto context = run(provider.refreshContext(u"terminal"_s, std::nullopt));
    ASSERT_TRUE(context);
    EXPECT_EQ(context->rootPath, second.root());
    EXPECT_TRUE(context->vocabulary.contains(u"SecondType"_s));
}

TEST_F(LinuxRepositoryContextProviderTest, AnotherFrontmostApplicationGetsNoDetection) {
    LinuxRepositoryContextProvider provider(window);
    window->application = FocusedApplication{u"editor"_s, static_cast<qint32>(::getpid())};
    window->document = first.path(u"Sources/Thing.swift"_s);
    const auto firstContext = run(provider.refreshContext(u"editor"_s, std::nullopt));
    ASSERT_TRUE(firstContext);

    // The user switched away: the second repository is in front now, but not for "editor".
    window->application = FocusedApplication{u"browser"_s, static_cast<qint32>(::getpid())};
    window->document = second.path(u"Sources/Thing.swift"_s);
    window->documentQueries = 0;
    EXPECT_EQ(run(provider.refreshContext(u"editor"_s, std::nullopt)), firstContext);
    EXPECT_EQ(run(provider.refreshContext(std::nullopt, std::nullopt)), std::nullopt);
    EXPECT_EQ(window->documentQueries, 0);
    EXPECT_EQ(run(provider.refreshContext(u"mail"_s, std::nullopt)), std::nullopt);

    window->application = FocusedApplication{std::nullopt, static_cast<qint32>(::getpid())};
    const auto anonymous = run(provider.refreshContext(std::nullopt, std::nullopt));
    ASSERT_TRUE(anonymous);
    EXPECT_EQ(anonymous->rootPath, second.root());
}

} // namespace
} // namespace quovant
