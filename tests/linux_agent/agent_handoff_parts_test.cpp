#include "platform/linux/agent/agent_executable_locator.h"
#include "platform/linux/agent/agent_handoff_script_builder.h"
#include "platform/linux/agent/agent_process_command_verifier.h"
#include "platform/linux/agent/agent_startup_screen_classifier.h"
#include "platform/linux/agent/agent_terminal_opener.h"
#include "platform/linux/agent/linux_agent_handoff_launcher.h"
#include "support/test_support.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <utime.h>

using namespace Qt::StringLiterals;
using quovant::testing::readFile;
using quovant::testing::writeExecutable;
using quovant::testing::writeFile;

namespace quovant {
namespace {

TEST(AgentExecutableLocator, OnlyTrustedLocationsInOrder) {
    for (const QString& system : AgentExecutableLocator::candidates(AgentKind::codex, u""_s) +
                                     AgentExecutableLocator::candidates(AgentKind::claude, u""_s)) {
        ASSERT_FALSE(QFileInfo::exists(system)) << "this machine has a real agent at "
                                                << system.toStdString();
    }
    EXPECT_EQ(AgentExecutableLocator::candidates(AgentKind::claude, u"/home/ana/"_s),
              (QStringList{u"/home/linuxbrew/.linuxbrew/bin/claude"_s,
                           u"/usr/local/bin/claude"_s, u"/home/ana/.local/bin/claude"_s}));

    QTemporaryDir home;
    const QString local = home.filePath(u".local/bin/codex"_s);
    QTemporaryDir elsewhere;
    const QString real = elsewhere.filePath(u"codex-real"_s);
    writeExecutable(real, "#!/bin/sh\n");
    QTemporaryDir searchPath;
    writeExecutable(searchPath.filePath(u"codex"_s), "#!/bin/sh\n");

    struct Case {
        const char* name;
        std::function<void()> arrange;
        bool found;
    } cases[] = {
        {"nothing installed, one on the search path", [] {}, false},
        {"not executable", [&] { writeFile(local, "#!/bin/sh\n"); }, false},
        {"a folder", [&] { QDir().mkpath(local); }, false},
        {"a dangling link", [&] { QFile::link(home.filePath(u"gone"_s), local); }, false},
        {"an executable", [&] { writeExecutable(local, "#!/bin/sh\n"); }, true},
        {"a link to an executable", [&] { QFile::link(real, local); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QDir(local).removeRecursively();
        QFile::remove(local);
        QDir().mkpath(home.filePath(u".local/bin"_s));
        c.arrange();
        LinuxAgentHandoffLauncher::Options options;
        options.homeDirectory = home.path();
        options.handoffDirectory = home.filePath(u"handoffs"_s);
        options.environment.insert(u"PATH"_s, searchPath.path() + u":/usr/bin:/bin"_s);
        LinuxAgentHandoffLauncher launcher(options);
        EXPECT_EQ(AgentExecutableLocator::locate(AgentKind::codex, home.path()),
                  c.found ? std::optional(local) : std::nullopt);
        EXPECT_EQ(launcher.isAgentInstalled(AgentKind::codex), c.found);
        EXPECT_FALSE(launcher.isAgentInstalled(AgentKind::claude));
    }
}

TEST(AgentHandoffScriptBuilder, QuotesEveryPathAndExecsTheAgent) {
    EXPECT_EQ(AgentHandoffScriptBuilder::makeScript(u"/usr/local/bin/codex"_s, u"/tmp/it's"_s,
                                                    u"/d/agent-X.pid"_s),
              u"#!/bin/sh\nset -eu\ncd -- '/tmp/it'\\''s'\n/bin/echo \"$$\" > '/d/agent-X.pid'\n"
              u"exec '/usr/local/bin/codex'"_s);

    // Run by a real shell, hostile folder names stay names: the agent starts in the folder, under
    // the launcher's own process id, and nothing in a name is ever executed.
    QTemporaryDir dir;
    const QString agent = dir.filePath(u"bin it's/co\"dex $(touch PWNED)"_s);
    writeExecutable(agent, "#!/bin/sh\necho \"$$\" > \"$REPORT.pid\"\npwd > \"$REPORT.cwd\"\n");
    const QString names[] = {
        u"it's"_s,         u"-rf leading dash"_s,  u"two  spaces"_s,
        u"new\nline"_s,    u"$(touch PWNED)"_s,    u"`touch PWNED`; touch PWNED"_s,
        u"back\\slash \\'"_s, u"\"double\" & | > <"_s, u"'; touch PWNED; '"_s,
    };
    for (const QString& name : names) {
        SCOPED_TRACE(name.toStdString());
        const QString repository = dir.filePath(u"repos/"_s + name);
        ASSERT_TRUE(QDir().mkpath(repository));
        const QString marker = dir.filePath(u"marks/"_s + name + u".pid"_s);
        QDir().mkpath(QFileInfo(marker).path());
        const QString script = dir.filePath(u"launch.command"_s);
        writeFile(script,
                  AgentHandoffScriptBuilder::makeScript(agent, repository, marker).toUtf8());
        QProcess shell;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"REPORT"_s, dir.filePath(u"report"_s));
        shell.setProcessEnvironment(environment);
        shell.setWorkingDirectory(dir.path());
        shell.start(u"/bin/sh"_s, {script});
        ASSERT_TRUE(shell.waitForStarted(30000));
        const qint64 pid = shell.processId();
        ASSERT_TRUE(shell.waitForFinished(30000));
        EXPECT_EQ(shell.exitCode(), 0) << shell.readAllStandardError().toStdString();
        EXPECT_EQ(readFile(marker), QByteArray::number(pid) + '\n');
        EXPECT_EQ(readFile(dir.filePath(u"report.pid"_s)), readFile(marker));
        EXPECT_EQ(QString::fromUtf8(readFile(dir.filePath(u"report.cwd"_s))), repository + u'\n');
    }
    QDirIterator everything(dir.path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                            QDirIterator::Subdirectories);
    while (everything.hasNext()) {
        EXPECT_NE(everything.next().section(u'/', -1), u"PWNED"_s);
    }
}

TEST(AgentStartupScreenClassifier, AnyMarkerInAnyCaseNeedsTheUser) {
    EXPECT_EQ(AgentStartupScreenClassifier::markers().size(), 9);
    for (const QString& marker : AgentStartupScreenClassifier::markers()) {
        SCOPED_TRACE(marker.toStdString());
        EXPECT_EQ(AgentStartupScreenClassifier::classify(u"│ > "_s + marker.toUpper() +
                                                         u"?\n  1. Yes"_s),
                  AgentStartupScreenStatus::needsUserAction);
    }
    for (const char* text : {"", "> Ready for a task", "Signing commits is on", "login shell",
                             "trusted types", "Logged in as ana"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(AgentStartupScreenClassifier::classify(QString::fromUtf8(text)),
                  AgentStartupScreenStatus::ready);
    }
    EXPECT_EQ(AgentStartupScreenClassifier::classify(u"Do you trust the files in this folder?"_s),
              AgentStartupScreenStatus::needsUserAction);
}

TEST(AgentProcessCommandVerifier, CommandLineAndMarkerRules) {
    EXPECT_EQ(AgentProcessCommandVerifier::splitCommandLine(QByteArray("node\0/a b/codex\0\0-x\0",
                                                                       21)),
              (QStringList{u"node"_s, u"/a b/codex"_s, u"-x"_s}));
    const QString codex = u"/home/ana/.local/bin/codex"_s;
    EXPECT_TRUE(AgentProcessCommandVerifier::matches({u"node"_s, codex}, codex));
    EXPECT_FALSE(AgentProcessCommandVerifier::matches({codex + u"x"_s}, codex));
    EXPECT_FALSE(AgentProcessCommandVerifier::matches({u"/usr/bin/codex"_s}, codex));
    EXPECT_FALSE(AgentProcessCommandVerifier::matches({u"node "_s + codex}, codex));
    EXPECT_FALSE(AgentProcessCommandVerifier::matches({}, QString()));

    const std::pair<const char*, std::optional<qint64>> markers[] = {
        {"4242\n", 4242}, {"  77 \n", 77},  {"1\n", std::nullopt}, {"0", std::nullopt},
        {"-9", std::nullopt}, {"garbage", std::nullopt}, {"12abc", std::nullopt},
        {"", std::nullopt}, {"2147483648", std::nullopt}};
    for (const auto& [text, pid] : markers) {
        SCOPED_TRACE(text);
        EXPECT_EQ(AgentProcessCommandVerifier::parseMarker(text), pid);
    }
}

// A process that stays alive and shows `arguments` in /proc.
class Running {
public:
    Running(const QString& program, const QStringList& arguments) {
        m_process.start(program, arguments);
        m_process.waitForStarted(30000);
        const QDeadlineTimer deadline(30000);
        // Until the exec has happened and the command line shows the program.
        while (!deadline.hasExpired() &&
               readFile(u"/proc/%1/cmdline"_s.arg(pid())).isEmpty()) {
            QThread::msleep(10);
        }
    }
    ~Running() {
        m_process.kill();
        m_process.waitForFinished(30000);
    }
    qint64 pid() const { return m_process.processId(); }

private:
    QProcess m_process;
};

TEST(AgentProcessCommandVerifier, OnlyThePanesOwnProcessRunningTheAgentIsReady) {
    QTemporaryDir dir;
    const QString codex = dir.filePath(u"codex"_s);
    writeExecutable(codex, "#!/bin/sh\nwhile :; do sleep 1; done\n");
    Running agent(u"/bin/sh"_s, {codex});
    Running other(u"/bin/sleep"_s, {u"60"_s});
    // Another account's process that names the agent on its command line.
    Running foreign(u"/usr/bin/setpriv"_s, {u"--reuid=65534"_s, u"--regid=65534"_s,
                                            u"--clear-groups"_s, u"/bin/sh"_s, u"-c"_s,
                                            u"sleep 60"_s, codex});
    ASSERT_TRUE(AgentProcessCommandVerifier::processMatches(foreign.pid(), codex));
    QProcess finished;
    finished.start(u"/bin/true"_s);
    ASSERT_TRUE(finished.waitForStarted(30000));
    const qint64 gone = finished.processId();
    ASSERT_TRUE(finished.waitForFinished(30000));

    using R = AgentProcessCommandVerifier::Readiness;
    const auto number = [](qint64 pid) { return std::optional(QByteArray::number(pid) + '\n'); };
    struct Case {
        const char* name;
        std::optional<QByteArray> marker;
        qint64 pane;
        R expected;
    } cases[] = {
        {"the agent", number(agent.pid()), agent.pid(), R::ready},
        {"no marker yet", std::nullopt, agent.pid(), R::waiting},
        {"marker holding 1", QByteArray("1\n"), agent.pid(), R::waiting},
        {"garbage", QByteArray("\x01zz\n"), agent.pid(), R::waiting},
        {"another account's process", number(foreign.pid()), agent.pid(), R::waiting},
        {"pane running another program", number(other.pid()), other.pid(), R::waiting},
        {"agent gone", number(gone), gone, R::exited},
        {"launcher gone without a marker", std::nullopt, gone, R::launcherStopped},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(AgentProcessCommandVerifier::inspect(c.marker, c.pane, codex), c.expected);
    }
}

TEST(AgentTerminalOpener, FirstTerminalFoundWithItsOwnCommandSyntax) {
    QTemporaryDir dir;
    const QStringList run{u"/usr/bin/tmux"_s, u"-S"_s, u"/s p/sock"_s, u"attach-session"_s,
                          u"-t"_s, u"=quovant-1"_s};
    struct Case {
        const char* terminal;  // $TERMINAL
        QStringList installed; // on PATH, in this order of creation
        QString chosen;
        QStringList prefix;
    } cases[] = {
        {"", {u"xterm"_s, u"x-terminal-emulator"_s}, u"x-terminal-emulator"_s, {u"-e"_s}},
        {"", {u"xterm"_s, u"gnome-terminal"_s}, u"gnome-terminal"_s, {u"--"_s}},
        {"", {u"xterm"_s, u"konsole"_s}, u"konsole"_s, {u"-e"_s}},
        {"", {u"xterm"_s, u"xfce4-terminal"_s}, u"xfce4-terminal"_s, {u"-x"_s}},
        {"", {u"xterm"_s, u"kitty"_s}, u"kitty"_s, {}},
        {"", {u"xterm"_s, u"alacritty"_s}, u"alacritty"_s, {u"-e"_s}},
        {"", {u"xterm"_s, u"wezterm"_s}, u"wezterm"_s, {u"start"_s, u"--"_s}},
        {"", {u"xterm"_s, u"foot"_s}, u"foot"_s, {}},
        {"", {u"xterm"_s}, u"xterm"_s, {u"-e"_s}},
        {"foot", {u"xterm"_s, u"foot"_s}, u"foot"_s, {}},
        {"my-term", {u"xterm"_s, u"my-term"_s}, u"my-term"_s, {u"-e"_s}},
        {"missing-term", {u"xterm"_s}, u"xterm"_s, {u"-e"_s}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.chosen.toStdString() + " with TERMINAL=" + c.terminal);
        QTemporaryDir bin;
        for (const QString& name : c.installed) {
            writeExecutable(bin.filePath(name), "#!/bin/sh\n");
        }
        QProcessEnvironment environment;
        environment.insert(u"PATH"_s, bin.path());
        if (*c.terminal) {
            environment.insert(u"TERMINAL"_s, QString::fromUtf8(c.terminal));
        }
        EXPECT_EQ(AgentTerminalOpener::command(environment, run),
                  (TerminalCommand{bin.filePath(c.chosen), c.prefix + run}));
    }
    QProcessEnvironment none;
    none.insert(u"PATH"_s, dir.path());
    EXPECT_EQ(AgentTerminalOpener::command(none, run), std::nullopt);
    // An absolute $TERMINAL is used as it is.
    writeExecutable(dir.filePath(u"term one"_s), "#!/bin/sh\n");
    none.insert(u"TERMINAL"_s, dir.filePath(u"term one"_s));
    EXPECT_EQ(AgentTerminalOpener::command(none, run),
              (TerminalCommand{dir.filePath(u"term one"_s), QStringList{u"-e"_s} + run}));
}

TEST(AgentTerminalOpener, ReportsATerminalThatExitsWithAnError) {
    QTemporaryDir dir;
    const QString refusing = dir.filePath(u"refusing"_s);
    writeExecutable(refusing, "#!/bin/sh\nexit 3\n");
    const QString accepting = dir.filePath(u"accepting"_s);
    writeExecutable(accepting, "#!/bin/sh\necho \"$@\" > \"$0.args\"\n");

    AgentTerminalOpener missing(QProcessEnvironment::systemEnvironment());
    EXPECT_FALSE(missing.open({dir.filePath(u"absent"_s), {}}));

    AgentTerminalOpener refused(QProcessEnvironment::systemEnvironment());
    ASSERT_TRUE(refused.open({refusing, {u"-e"_s, u"x"_s}}));
    const QDeadlineTimer deadline(30000);
    while (!refused.refused() && !deadline.hasExpired()) {
        QThread::msleep(20);
    }
    EXPECT_TRUE(refused.refused());

    AgentTerminalOpener accepted(QProcessEnvironment::systemEnvironment());
    ASSERT_TRUE(accepted.open({accepting, {u"-e"_s, u"a b"_s}}));
    const QDeadlineTimer written(30000);
    while (readFile(accepting + u".args"_s).isEmpty() && !written.hasExpired()) {
        QThread::msleep(20);
    }
    EXPECT_EQ(readFile(accepting + u".args"_s), "-e a b\n");
    EXPECT_FALSE(accepted.refused());
}

TEST(LinuxAgentHandoffLauncher, CleanupRemovesOnlyHandoffFilesOlderThanAnHour) {
    QTemporaryDir dir;
    const auto age = [&](const QString& name, int seconds) {
        const QString path = dir.filePath(name);
        writeFile(path, "x");
        struct utimbuf times;
        times.actime = times.modtime = ::time(nullptr) - seconds;
        ::utime(QFile::encodeName(path).constData(), &times);
    };
    age(u"launch-OLD.command"_s, 3700);
    age(u"agent-OLD.pid"_s, 7200);
    age(u"launch-NEW.command"_s, 3500);
    age(u"agent-NEW.pid"_s, 10);
    age(u"tmux.sock"_s, 9000);
    age(u"notes-OLD"_s, 9000);
    LinuxAgentHandoffLauncher::cleanupOldLaunchers(dir.path());
    QStringList left = QDir(dir.path()).entryList(QDir::Files);
    left.sort();
    EXPECT_EQ(left, (QStringList{u"agent-NEW.pid"_s, u"launch-NEW.command"_s, u"notes-OLD"_s,
                                 u"tmux.sock"_s}));
}

} // namespace
} // namespace quovant
