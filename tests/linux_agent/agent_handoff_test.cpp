#include "agent_handoff_fixture.h"
#include "support/desktop_peers.h"

#include <QDirIterator>

#include <utime.h>

using namespace Qt::StringLiterals;

namespace quovant::testing {
namespace {

const QString kSpecification =
    u"## Goal\nAdd a retry to the upload step in `SyncService`.\n\n## Context\n- Repository: "
    u"sync-service (branch main)\n- Don't touch \"legacy\" paths like C:\\temp or $(rm -rf ~)\n\n"
    u"## Constraints\n- Keep the 30 s timeout; 'quotes' & `backticks` stay\n\n## Acceptance "
    u"criteria\n- Upload retries 3× 🚀 then fails\n\n## Verification\n- Run `make test`"_s;

TEST_F(AgentHandoffTest, SpecificationReachesTheAgentByteForByte) {
    QString large;
    while (large.size() < 20000) {
        large += u"Line "_s + QString::number(large.size()) + u" — ünïcödé \\ $HOME 'x' \"y\"\n"_s;
    }
    large.truncate(20000);
    // An abandoned launcher of an earlier session goes; a recent one stays.
    QDir().mkpath(handoffs);
    writeFile(handoffs + u"/launch-OLD.command"_s, "x");
    struct utimbuf old{::time(nullptr) - 7200, ::time(nullptr) - 7200};
    ::utime(QFile::encodeName(handoffs + u"/launch-OLD.command"_s).constData(), &old);
    writeFile(handoffs + u"/agent-RECENT.pid"_s, "42\n");

    for (const QString& specification : {kSpecification, large}) {
        SCOPED_TRACE(specification.size());
        QFile::remove(report);
        QFile::remove(terminal + u".log"_s);
        const QByteArray expected = pasted(specification) + '\r';
        installAgent(recorder(expected.size()), AgentKind::claude);
        auto launcher = makeLauncher();
        LogTail log;
        EXPECT_EQ(handoff(*launcher, specification, AgentKind::claude), std::nullopt);
        ASSERT_TRUE(waitForReport(expected.size()));
        EXPECT_EQ(received(), expected);
        EXPECT_EQ(QString::fromUtf8(readFile(report + u".cwd"_s)), repository + u'\n');
        EXPECT_TRUE(log.messages().contains(u"[INFO] Prompt handed off · Claude Code · "
                                            u"sync-service"_s))
            << log.messages().join(u'\n').toStdString();
        // The terminal was asked to attach to the agent's session on the private socket.
        const QStringList arguments =
            QString::fromUtf8(readFile(terminal + u".log"_s)).split(u'\n', Qt::SkipEmptyParts);
        ASSERT_EQ(arguments.size(), 7);
        EXPECT_EQ(arguments.mid(0, 6), (QStringList{u"-e"_s, u"/usr/bin/tmux"_s, u"-S"_s,
                                                    launcher->tmuxSocket(),
                                                    u"attach-session"_s, u"-t"_s}));
        EXPECT_TRUE(arguments[6].startsWith(u"=quovant-"_s));
        EXPECT_EQ(leftoverFiles(), QStringList{u"agent-RECENT.pid"_s});
        EXPECT_TRUE(waitUntil([&] { return tmuxServers(launcher->tmuxSocket()) == 0; }))
            << "the server outlived its only agent";
    }
}

TEST_F(AgentHandoffTest, HostileNamesAndPathsAreNeverShellSyntax) {
    const QString names[] = {
        u"it's"_s,
        u"-leading dash"_s,
        u"spaces  and\nnewline"_s,
        u"$(touch PWNED) `touch PWNED`; touch PWNED \\ \"q\""_s,
    };
    const QString pristineData = handoffs;
    for (const QString& name : names) {
        SCOPED_TRACE(name.toStdString());
        repository = dir.filePath(u"repos/"_s + name);
        ASSERT_TRUE(QDir().mkpath(repository + u"/.git"_s));
        context.rootPath = repository;
        context.name = name;
        // The data directory (launcher, marker and tmux socket) is hostile too.
        handoffs = dir.filePath(u"d/"_s + name + u"/handoffs"_s);
        QFile::remove(report);
        const QByteArray expected = pasted(kSpecification) + '\r';
        installAgent(recorder(expected.size()));
        auto launcher = makeLauncher();
        EXPECT_EQ(handoff(*launcher, kSpecification), std::nullopt);
        ASSERT_TRUE(waitForReport(expected.size()));
        EXPECT_EQ(received(), expected);
        EXPECT_EQ(QString::fromUtf8(readFile(report + u".cwd"_s)), repository + u'\n');
        EXPECT_TRUE(leftoverFiles().isEmpty());
    }
    handoffs = pristineData;
    QDirIterator everything(dir.path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                            QDirIterator::Subdirectories);
    while (everything.hasNext()) {
        EXPECT_NE(everything.next().section(u'/', -1), u"PWNED"_s);
    }
}

TEST_F(AgentHandoffTest, EveryFailureEndsWithItsMessageAndNothingLeftBehind) {
    const QString prefix = u"Could not hand off the prompt: "_s;
    const qsizetype pasteBytes = pasted(kSpecification).size();
    Timing slowSubmit = quick();
    slowSubmit.submitPause = std::chrono::milliseconds(1500);
    struct Case {
        const char* name;
        std::function<void()> arrange;
        QString prompt;
        QString message;
        // Whether the agent's session may stay for the user (a window shows it).
        bool sessionMayStay;
        Timing timing;
    };
    const Case cases[] = {
        {"empty prompt", [] {}, u" \n "_s, prefix + u"the generated prompt is empty."_s, false},
        {"repository gone",
         [&] { context.rootPath = dir.filePath(u"nowhere"_s); },
         kSpecification,
         u"Could not identify a repository: the detected worktree no longer exists."_s,
         false},
        {"a folder inside the repository",
         [&] {
             QDir().mkpath(repository + u"/src"_s);
             context.rootPath = repository + u"/src"_s;
         },
         kSpecification,
         u"Could not identify a repository: the detected worktree no longer exists."_s,
         false},
        {"agent only on the search path",
         [&] {
             QFile::remove(home + u"/.local/bin/codex"_s);
             writeExecutable(bin + u"/codex"_s,
                             "#!/bin/sh\ntouch " + quoted(report + u".path"_s) + "\n");
             environment.insert(u"PATH"_s, bin + u":"_s + environment.value(u"PATH"_s));
         },
         kSpecification,
         u"The coding agent is unavailable: Codex CLI is not installed in a trusted location."_s,
         false},
        {"no tmux",
         [&] { environment.insert(u"PATH"_s, bin); },
         kSpecification,
         prefix + u"terminal could not be opened."_s,
         false},
        {"no terminal",
         [&] {
             environment.insert(u"TERMINAL"_s, bin + u"/absent"_s);
             QFile::link(u"/usr/bin/tmux"_s, bin + u"/tmux"_s);
             environment.insert(u"PATH"_s, bin);
         },
         kSpecification,
         prefix + u"terminal could not be opened."_s,
         false},
        {"terminal exits with an error",
         [&] { environment.insert(u"FAKE_TERMINAL_STATUS"_s, u"3"_s); },
         kSpecification,
         prefix + u"terminal rejected the agent launcher."_s,
         false},
        {"trust screen",
         [&] {
             installAgent("printf 'Do you trust the files in this folder?\\r\\n'\nread -r x\n");
         },
         kSpecification,
         prefix + u"finish the agent's trust or sign-in prompt, then paste the copied "
                  u"specification."_s,
         true},
        {"sign-in screen",
         [&] { installAgent("printf 'Welcome! Please Sign In to continue.\\r\\n'\nread -r x\n"); },
         kSpecification,
         prefix + u"finish the agent's trust or sign-in prompt, then paste the copied "
                  u"specification."_s,
         true},
        {"agent exits at once",
         [&] { installAgent("exit 0\n"); },
         kSpecification,
         prefix + u"Codex exited before receiving the prompt."_s,
         false},
        {"agent exits between paste and Enter",
         [&] { installAgent(recorder(pasteBytes, "exit 0\n")); },
         kSpecification,
         prefix + u"the terminal pane or agent state changed before submission."_s,
         false,
         slowSubmit},
    };
    const QProcessEnvironment pristine = environment;
    const RepositoryContext pristineContext = context;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        environment = pristine;
        context = pristineContext;
        QFile::remove(report);
        installAgent(recorder(pasted(kSpecification).size() + 1));
        c.arrange();
        auto launcher = makeLauncher(c.timing.agentWait.count() ? c.timing : quick());
        EXPECT_EQ(handoff(*launcher, c.prompt), c.message);
        EXPECT_TRUE(leftoverFiles().isEmpty()) << leftoverFiles().join(u' ').toStdString();
        if (!c.sessionMayStay) {
            EXPECT_TRUE(waitUntil([&] { return tmuxServers(launcher->tmuxSocket()) == 0; }))
                << "an agent nobody can see is still running";
        }
        // Nothing was submitted to whatever runs in the pane.
        EXPECT_TRUE(received().isEmpty() || !received().endsWith('\r'));
        EXPECT_FALSE(QFileInfo::exists(report + u".path"_s)) << "a program from the search path ran";
        tmux({u"kill-server"_s});
    }
}

TEST_F(AgentHandoffTest, TrustScreenStopsBeforeAnythingIsTyped) {
    installAgent("printf 'Do you trust the files in this folder?\\r\\n'\nread -r x\n");
    auto launcher = makeLauncher();
    EXPECT_NE(handoff(*launcher, kSpecification), std::nullopt);
    // The agent still waits for the user in its session, and nothing was typed at it.
    const QStringList screen = tmux({u"capture-pane"_s, u"-p"_s, u"-J"_s, u"-t"_s,
                                     tmux({u"list-panes"_s, u"-a"_s, u"-F"_s,
                                           u"#{pane_id}"_s}).value(0)});
    EXPECT_EQ(screen, QStringList{u"Do you trust the files in this folder?"_s});
}

TEST_F(AgentHandoffTest, AgentReplacedBeforeEnterReceivesNoEnter) {
    const qsizetype pasteBytes = pasted(kSpecification).size();
    installAgent(recorder(pasteBytes, "exec timeout 5 head -c 1 > " +
                                          quoted(report + u".after"_s) + "\n"));
    Timing timing = quick();
    timing.submitPause = std::chrono::milliseconds(1500);
    auto launcher = makeLauncher(timing);
    EXPECT_EQ(handoff(*launcher, kSpecification),
              u"Could not hand off the prompt: the terminal pane or agent state changed before "
              u"submission."_s);
    EXPECT_EQ(received(), pasted(kSpecification));
    EXPECT_TRUE(leftoverFiles().isEmpty());
    // The replacement program reads for five seconds and gets nothing.
    ASSERT_TRUE(waitUntil([&] { return tmuxServers(launcher->tmuxSocket()) == 0; }));
    EXPECT_EQ(readFile(report + u".after"_s), QByteArray());
}

TEST_F(AgentHandoffTest, XtermShowsTheAgentsSessionAndClosesWithIt) {
    XvfbServer display;
    ASSERT_TRUE(display.running());
    environment.insert(u"DISPLAY"_s, display.display());
    environment.insert(u"TERMINAL"_s, u"xterm"_s);
    // Started from inside another tmux, the terminal must still attach.
    environment.insert(u"TMUX"_s, u"/tmp/elsewhere,1,0"_s);
    const QByteArray expected = pasted(kSpecification) + '\r';
    // Once everything arrived, the agent reports its window size: xterm's 80×24 once the
    // terminal has attached, the detached session's 120×40 otherwise.
    installAgent(recorder(expected.size(),
                          "i=0\nwhile [ \"$(stty size)\" = '40 120' ] && [ $i -lt 300 ]; do "
                          "sleep 0.1; i=$((i+1)); done\nstty size > " +
                              quoted(report + u".size"_s) + "\n"));
    auto launcher = makeLauncher();
    EXPECT_EQ(handoff(*launcher, kSpecification), std::nullopt);
    ASSERT_TRUE(waitForReport(expected.size()));
    EXPECT_EQ(received(), expected);
    ASSERT_TRUE(waitUntil([&] { return !readFile(report + u".size"_s).isEmpty(); }));
    EXPECT_EQ(readFile(report + u".size"_s), "24 80\n");
    // The agent's exit ends the session, its client and the terminal window.
    EXPECT_TRUE(waitUntil([&] { return tmuxServers(launcher->tmuxSocket()) == 0; }));
    EXPECT_TRUE(waitUntil([&] {
        for (const QString& pid : QDir(u"/proc"_s).entryList(QDir::Dirs)) {
            const QByteArray cmdline = readFile(u"/proc/"_s + pid + u"/cmdline"_s);
            if (cmdline.startsWith("xterm") && cmdline.contains(QFile::encodeName(launcher->tmuxSocket()))) {
                return false;
            }
        }
        return true;
    })) << "the terminal outlived the agent";
}

TEST_F(AgentHandoffTest, HundredHandoffsInARowLoseNothingAndLeaveNothing) {
    Timing timing = quick();
    timing.settle = std::chrono::milliseconds(500);
    auto launcher = makeLauncher(timing);
    for (int i = 0; i < 100; ++i) {
        SCOPED_TRACE(i);
        const QString specification = kSpecification + u"\n- Hand-off "_s + QString::number(i);
        const QByteArray expected = pasted(specification) + '\r';
        QFile::remove(report);
        installAgent(recorder(expected.size()), i % 2 ? AgentKind::claude : AgentKind::codex);
        ASSERT_EQ(handoff(*launcher, specification, i % 2 ? AgentKind::claude : AgentKind::codex),
                  std::nullopt);
        ASSERT_TRUE(waitForReport(expected.size()));
        ASSERT_EQ(received(), expected);
        ASSERT_TRUE(leftoverFiles().isEmpty());
    }
    EXPECT_TRUE(waitUntil([&] { return tmuxServers(launcher->tmuxSocket()) == 0; }));
}

} // namespace
} // namespace quovant::testing
