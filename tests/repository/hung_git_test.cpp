#include "repository/git_repository_fixture.h"
#include "repository/linux_repository_context_provider.h"

#include "support/test_support.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QScopeGuard>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <thread>

#include <signal.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace quovant {
namespace {

using testing::GitRepository;
using testing::ScratchFolder;

const RepositoryIndexLimits kLimits{5000, 160, 131072, 320, 24};

// A fake git that writes its process identifier (its group's number) to "pids", then `rest`.
QString fakeGit(const ScratchFolder& tools, const QByteArray& rest) {
    return tools.script(u"git"_s, "echo $$ >> '" + tools.path(u"pids"_s).toUtf8() + "'\n" + rest);
}
const QByteArray kRealGit = "exec /usr/bin/git \"$@\"\n";
// Ignores a polite stop, leaves a child in its group and never ends.
const QByteArray kStubborn = "trap '' TERM\nprintf 'partial.swift\\000'\nsleep 600 &\nwait\n";

QList<qint64> started(const ScratchFolder& tools) {
    QList<qint64> groups;
    for (const QByteArray& line : testing::readFile(tools.path(u"pids"_s)).split('\n')) {
        if (line.toLongLong() > 0) {
            groups.append(line.toLongLong());
        }
    }
    return groups;
}

// What a regression leaves hanging is killed here, so that the test fails instead of hanging.
void killStarted(const ScratchFolder& tools) {
    for (const qint64 group : started(tools)) {
        ::kill(static_cast<pid_t>(-group), SIGKILL);
    }
}

// Whether a living (not zombie) process is still in `group` after a few seconds' grace.
bool groupLives(qint64 group) {
    for (QDeadlineTimer grace(10s); !grace.hasExpired(); std::this_thread::sleep_for(20ms)) {
        bool alive = false;
        for (const QString& pid : QDir(u"/proc"_s).entryList(QDir::Dirs)) {
            const QByteArray stat = testing::readFile(u"/proc/"_s + pid + u"/stat"_s);
            // "pid (command) state ppid group ..."
            const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
            alive =
                alive || (fields.size() > 2 && fields[0] != "Z" && fields[2].toLongLong() == group);
        }
        if (!alive) {
            return false;
        }
    }
    return true;
}

bool processEventsUntil(const std::function<bool()>& done, const ScratchFolder& tools,
                        std::chrono::milliseconds guard = 60s) {
    for (QDeadlineTimer deadline(guard); !done(); std::this_thread::sleep_for(5ms)) {
        if (deadline.hasExpired()) {
            killStarted(tools);
            return false;
        }
        QCoreApplication::processEvents();
    }
    return true;
}

QCoro::Task<void> press(LinuxRepositoryContextProvider* provider, QString pinned,
                        std::optional<RepositoryContext>* result, int* finished) {
    *result = co_await provider->refreshContext(u"editor"_s, pinned);
    ++*finished;
}

struct HungGitTest : ::testing::Test {
    HungGitTest() {
        repository.write(u"Sources/Walked.swift"_s, "class WalkedType {}\n");
        repository.commitAll();
    }
    GitRepository repository;
    ScratchFolder tools;
};

TEST_F(HungGitTest, IsKilledWithItsWholeGroupAtTheTimeLimitAndTheWalkAnswers) {
    for (const bool fifoHead : {true, false}) {
        ScratchFolder tools; // a fresh record of started tools for each case
        if (fifoHead) {
            repository.makeFifo(u".git/HEAD"_s);
        }
        RepositoryIndexer indexer{kLimits, fakeGit(tools, fifoHead ? kRealGit : kStubborn)};
        indexer.gitTimeLimit = 500ms;
        auto indexing =
            std::async(std::launch::async, [&] { return indexer.index(repository.root()); });
        if (indexing.wait_for(60s) != std::future_status::ready) {
            killStarted(tools);
            ADD_FAILURE() << "indexing went on past its time limit";
        }
        const RepositoryContext context = indexing.get();
        // Only the walk finds this file; the stubborn git named another.
        EXPECT_TRUE(context.vocabulary.contains(u"WalkedType"_s));
        EXPECT_FALSE(context.vocabulary.contains(u"partial"_s));
        EXPECT_EQ(context.branch, std::nullopt);
        ASSERT_EQ(started(tools).size(), 1);
        EXPECT_FALSE(groupLives(started(tools).front())) << fifoHead;
    }
}

TEST_F(HungGitTest, KeyDownsWhileARootIsIndexedJoinThatIndexing) {
    RepositoryIndexer indexer{kLimits, fakeGit(tools, kStubborn)};
    indexer.gitTimeLimit = 1s;
    LinuxRepositoryContextProvider provider(nullptr, indexer);
    std::vector<std::optional<RepositoryContext>> results(12);
    std::vector<QCoro::Task<void>> presses;
    int finished = 0;
    for (auto& result : results) {
        const QString pinned =
            presses.size() % 2 ? repository.root() : repository.path(u"Sources"_s);
        presses.push_back(press(&provider, pinned, &result, &finished));
    }
    ASSERT_TRUE(processEventsUntil([&] { return finished == 12; }, tools));
    EXPECT_EQ(started(tools).size(), 1);
    for (const auto& result : results) {
        EXPECT_TRUE(result && result->vocabulary.contains(u"WalkedType"_s));
    }
}

TEST_F(HungGitTest, LeavesTheSharedPoolFreeAndDiesWhenTheApplicationQuits) {
    QThreadPool* shared = QThreadPool::globalInstance();
    const auto restore = qScopeGuard(
        [shared, threads = shared->maxThreadCount()] { shared->setMaxThreadCount(threads); });
    shared->setMaxThreadCount(1);
    RepositoryIndexer indexer{kLimits, fakeGit(tools, kStubborn)};
    indexer.gitTimeLimit = 1h;
    auto provider = std::make_unique<LinuxRepositoryContextProvider>(nullptr, indexer);
    std::optional<RepositoryContext> result;
    int finished = 0;
    QCoro::Task<void> running = press(provider.get(), repository.root(), &result, &finished);
    ASSERT_TRUE(processEventsUntil([&] { return !started(tools).isEmpty(); }, tools));

    // Capture start and request building use the shared pool; a hung git must not hold it.
    const QFuture<int> work = QtConcurrent::run([] { return 7; });
    EXPECT_TRUE(processEventsUntil([&] { return work.isFinished(); }, tools, 30s));

    // Quitting stops indexing: git goes at once, not at its time limit.
    QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
    QCoreApplication::exec();
    const bool lives = groupLives(started(tools).front());
    EXPECT_FALSE(lives) << "quitting left git running";
    if (lives) {
        killStarted(tools);
    }
    provider.reset();
    ASSERT_TRUE(processEventsUntil([&] { return finished == 1; }, tools));
    EXPECT_EQ(result, std::nullopt);
}

} // namespace
} // namespace quovant
