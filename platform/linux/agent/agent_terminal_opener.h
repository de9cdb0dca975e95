#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <optional>
#include <sys/types.h>

namespace quovant {

// A terminal emulator and the arguments that make it run one command.
struct TerminalCommand {
    QString program;
    QStringList arguments;
    bool operator==(const TerminalCommand&) const = default;
};

// Opens the user's terminal emulator running one command (here: a tmux client attached to the
// agent's session), and reports whether it refused. The terminal runs in a session of its own
// and outlives this object; it is reaped in the background. Main thread.
class AgentTerminalOpener {
public:
    // Which terminal, from `environment`: $TERMINAL, else x-terminal-emulator, else the first of
    // gnome-terminal, konsole, xfce4-terminal, kitty, alacritty, wezterm, foot, xterm found on
    // its PATH; each with its own way of being given a command. Absent when none is found.
    static std::optional<TerminalCommand> command(const QProcessEnvironment& environment,
                                                  const QStringList& commandToRun);
    // The arguments that come before the command for a terminal of that name.
    static QStringList commandPrefix(const QString& terminalName);

    explicit AgentTerminalOpener(QProcessEnvironment environment);
    ~AgentTerminalOpener();
    AgentTerminalOpener(const AgentTerminalOpener&) = delete;
    AgentTerminalOpener& operator=(const AgentTerminalOpener&) = delete;

    // Starts it with standard input and output on the null device; false when it cannot start.
    bool open(const TerminalCommand& command);
    // True once it has exited with a non-zero status or a signal. A terminal still running, or
    // one that handed the window to a server and exited with 0, has not refused.
    bool refused();

private:
    QProcessEnvironment m_environment;
    pid_t m_pid = -1;
    bool m_exited = false;
    bool m_refused = false;
};

} // namespace quovant
