#pragma once

#include "core/ports/agent_handoff_launching.h"

#include <QProcessEnvironment>
#include <QString>

#include <chrono>
#include <optional>

namespace quovant {

// Hands a task specification to a coding agent (codex or claude) started in a new terminal
// window inside the repository. The agent runs in a tmux session on a private socket, one session
// per hand-off, and the user's terminal is opened attached to it; the prompt is pasted
// into the agent's own pane, so a window switch during the hand-off cannot send it elsewhere.
//
// Construct it once with `LinuxAgentHandoffLauncher()` for the real desktop; `Options` exist for
// tests and benchmarks. Main thread; `handoff` throws QuovantError (or a file-system error as
// std::runtime_error) on every failure and types nothing once in doubt.
class LinuxAgentHandoffLauncher final : public AgentHandoffLaunching {
public:
    struct Timing {
        std::chrono::milliseconds agentWait{12000};
        std::chrono::milliseconds poll{100};
        // Lets the agent draw its first screen before it is read.
        std::chrono::milliseconds settle{1400};
        std::chrono::milliseconds submitPause{120};
    };
    struct Options {
        // Empty: $HOME of `environment`, else the account's home.
        QString homeDirectory;
        // Empty: "handoffs" in the data directory.
        QString handoffDirectory;
        // Empty: "tmux.sock" in the hand-off directory, or in the runtime directory when that
        // path is too long for a socket.
        QString tmuxSocket;
        // Where tmux and the terminal are looked up ($PATH, $TERMINAL) and what they inherit.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        Timing timing;
    };

    LinuxAgentHandoffLauncher();
    explicit LinuxAgentHandoffLauncher(Options options);

    bool isAgentInstalled(AgentKind agent) override;
    QCoro::Task<void> handoff(QString prompt, AgentKind agent,
                              RepositoryContext repository) override;

    const QString& handoffDirectory() const { return m_options.handoffDirectory; }
    const QString& tmuxSocket() const { return m_options.tmuxSocket; }

    // Deletes launcher and marker files ("launch-…", "agent-…") last modified more than an hour
    // ago; errors are ignored.
    static void cleanupOldLaunchers(const QString& directory);

private:
    enum class AgentWait { ready, exited, timedOut };
    QCoro::Task<AgentWait> waitForAgent(QString markerPath, QString executable,
                                        qint64 paneProcess);

    Options m_options;
};

} // namespace quovant
