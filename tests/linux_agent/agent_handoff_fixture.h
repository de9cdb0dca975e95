#pragma once

#include "core/quovant_error.h"
#include "platform/linux/agent/agent_executable_locator.h"
#include "platform/linux/agent/agent_handoff_script_builder.h"
#include "platform/linux/agent/linux_agent_handoff_launcher.h"
#include "repository/repository_context.h"
#include "pipeline/pipeline_doubles.h"
#include "support/test_support.h"
#include "support/wait.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace quovant::testing {

// Real tmux on a socket inside the test's own folder, a temporary HOME with fake agents in its
// ~/.local/bin, a Git repository, and a fake terminal that records its arguments and attaches
// nothing.
class AgentHandoffTest : public ::testing::Test {
protected:
    using Timing = LinuxAgentHandoffLauncher::Timing;

    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        home = dir.filePath(QStringLiteral("home"));
        QDir().mkpath(home + QStringLiteral("/.local/bin"));
        repository = dir.filePath(QStringLiteral("work/sync service"));
        QDir().mkpath(repository + QStringLiteral("/.git"));
        handoffs = dir.filePath(QStringLiteral("data/handoffs"));
        bin = dir.filePath(QStringLiteral("bin"));
        terminal = bin + QStringLiteral("/terminal");
        writeExecutable(terminal, "#!/bin/sh\nprintf '%s\\n' \"$@\" >> \"$0.log\"\n"
                                  "exit \"${FAKE_TERMINAL_STATUS:-0}\"\n");
        environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), home);
        environment.insert(QStringLiteral("TERMINAL"), terminal);
        context.rootPath = repository;
        context.name = QStringLiteral("sync-service");
        report = dir.filePath(QStringLiteral("report"));
    }

    void TearDown() override {
        for (const QString& socket : sockets) {
            tmux({QStringLiteral("kill-server")}, socket);
            EXPECT_TRUE(waitUntil([&] { return tmuxServers(socket) == 0; }))
                << "a tmux server is still running on " << socket.toStdString();
        }
    }

    static Timing quick() {
        Timing timing;
        timing.settle = std::chrono::milliseconds(900);
        return timing;
    }

    std::unique_ptr<LinuxAgentHandoffLauncher> makeLauncher(Timing timing = quick()) {
        LinuxAgentHandoffLauncher::Options options;
        options.homeDirectory = home;
        options.handoffDirectory = handoffs;
        options.environment = environment;
        options.timing = timing;
        auto launcher = std::make_unique<LinuxAgentHandoffLauncher>(options);
        sockets.append(launcher->tmuxSocket());
        return launcher;
    }

    // The failure's user-facing text, or nothing when the hand-off succeeded.
    std::optional<QString> handoff(LinuxAgentHandoffLauncher& launcher, const QString& prompt,
                                   AgentKind agent = AgentKind::codex) {
        try {
            run(launcher.handoff(prompt, agent, context));
            return std::nullopt;
        } catch (const QuovantError& error) {
            return error.description();
        } catch (const std::exception& error) {
            return QString::fromUtf8(error.what());
        }
    }

    QString installAgent(const QByteArray& body, AgentKind agent = AgentKind::codex) {
        const QString path = home + QStringLiteral("/.local/bin/") +
                             AgentExecutableLocator::executableName(agent);
        writeExecutable(path, "#!/bin/sh\n" + body);
        return path;
    }

    static QByteArray quoted(const QString& path) {
        return AgentHandoffScriptBuilder::quote(path).toUtf8();
    }

    // What a pane that asked for bracketed paste receives: the text with line feeds as carriage
    // returns, as a terminal pastes it, between the paste brackets, then Enter.
    static QByteArray pasted(const QString& text) {
        return "\x1b[200~" + text.toUtf8().replace('\n', '\r') + "\x1b[201~";
    }

    // An agent that draws a prompt, asks for bracketed paste and records exactly `bytes` bytes
    // of input, and the folder it runs in, then exits.
    QByteArray recorder(qsizetype bytes, const QByteArray& afterwards = {}) const {
        return "stty raw -echo\nprintf '\\033[?2004h> Ready for a task\\r\\n'\npwd > " +
               quoted(report + QStringLiteral(".cwd")) + "\nhead -c " +
               QByteArray::number(bytes) + " > " + quoted(report) + "\n" + afterwards;
    }

    QByteArray received() const { return readFile(report); }

    bool waitForReport(qsizetype bytes) const {
        return waitUntil([&] { return received().size() >= bytes; });
    }

    QStringList leftoverFiles() const {
        return QDir(handoffs).entryList({QStringLiteral("launch-*"), QStringLiteral("agent-*")},
                                        QDir::AllEntries | QDir::Hidden | QDir::System);
    }

    // tmux servers listening on the socket, found by their command line.
    static int tmuxServers(const QString& socket) {
        int count = 0;
        const QByteArray wanted = QFile::encodeName(socket);
        for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            if (!pid.front().isDigit()) {
                continue;
            }
            const QByteArray cmdline = readFile(QStringLiteral("/proc/") + pid +
                                                QStringLiteral("/cmdline"));
            const QList<QByteArray> arguments = cmdline.split('\0');
            if (!arguments.isEmpty() && arguments[0].endsWith("tmux") &&
                arguments.contains(wanted)) {
                ++count;
            }
        }
        return count;
    }

    // Runs a tmux command on the socket (the latest launcher's by default); its output lines.
    QStringList tmux(const QStringList& arguments, const QString& socket = {}) const {
        QProcess process;
        process.start(QStringLiteral("tmux"),
                      QStringList{QStringLiteral("-S"), socket.isEmpty() ? sockets.value(sockets.size() - 1) : socket} +
                          arguments);
        process.waitForFinished(30000);
        return QString::fromUtf8(process.readAllStandardOutput())
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    QTemporaryDir dir;
    QString home, repository, handoffs, bin, terminal, report;
    QProcessEnvironment environment;
    RepositoryContext context;
    QStringList sockets;
};

} // namespace quovant::testing
