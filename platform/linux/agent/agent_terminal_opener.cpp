#include "platform/linux/agent/agent_terminal_opener.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

using namespace Qt::StringLiterals;

namespace quovant {
namespace {

QString findProgram(const QString& name, const QProcessEnvironment& environment) {
    if (name.isEmpty()) {
        return {};
    }
    if (name.contains(u'/')) {
        const QFileInfo info(name);
        return info.isAbsolute() && info.isFile() && info.isExecutable() ? name : QString();
    }
    const QStringList directories =
        environment.value(u"PATH"_s).split(u':', Qt::SkipEmptyParts);
    if (directories.isEmpty()) {
        return {};
    }
    return QStandardPaths::findExecutable(name, directories);
}

} // namespace

QStringList AgentTerminalOpener::commandPrefix(const QString& terminalName) {
    const QString name = QFileInfo(terminalName).fileName();
    if (name == u"gnome-terminal"_s) {
        return {u"--"_s};
    }
    if (name == u"xfce4-terminal"_s) {
        // -e would take the whole command as one string for the terminal to split.
        return {u"-x"_s};
    }
    if (name == u"wezterm"_s) {
        return {u"start"_s, u"--"_s};
    }
    if (name == u"kitty"_s || name == u"foot"_s) {
        return {};
    }
    // xterm, konsole, alacritty, and x-terminal-emulator by Debian's rule for it.
    return {u"-e"_s};
}

std::optional<TerminalCommand> AgentTerminalOpener::command(const QProcessEnvironment& environment,
                                                            const QStringList& commandToRun) {
    QStringList choices{environment.value(u"TERMINAL"_s).trimmed(), u"x-terminal-emulator"_s,
                        u"gnome-terminal"_s, u"konsole"_s, u"xfce4-terminal"_s, u"kitty"_s,
                        u"alacritty"_s, u"wezterm"_s, u"foot"_s, u"xterm"_s};
    for (const QString& choice : choices) {
        const QString program = findProgram(choice, environment);
        if (!program.isEmpty()) {
            return TerminalCommand{program, commandPrefix(choice) + commandToRun};
        }
    }
    return std::nullopt;
}

AgentTerminalOpener::AgentTerminalOpener(QProcessEnvironment environment)
    : m_environment(std::move(environment)) {}

AgentTerminalOpener::~AgentTerminalOpener() {
    if (m_pid > 0 && !m_exited) {
        const pid_t pid = m_pid;
        // The window stays open as long as the user keeps it; only its exit status is collected.
        std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
    }
}

bool AgentTerminalOpener::open(const TerminalCommand& command) {
    std::vector<QByteArray> storage;
    storage.push_back(QFile::encodeName(command.program));
    for (const QString& argument : command.arguments) {
        storage.push_back(argument.toUtf8());
    }
    std::vector<char*> argv;
    for (QByteArray& item : storage) {
        argv.push_back(item.data());
    }
    argv.push_back(nullptr);

    std::vector<QByteArray> environmentStorage;
    for (const QString& entry : m_environment.toStringList()) {
        environmentStorage.push_back(entry.toUtf8());
    }
    std::vector<char*> envp;
    for (QByteArray& item : environmentStorage) {
        envp.push_back(item.data());
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGCHLD, SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&defaults, signal);
    }
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    // Its own session: closing the terminal Quovant was started from leaves the window alone.
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int result = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) {
        return false;
    }
    m_pid = pid;
    return true;
}

bool AgentTerminalOpener::refused() {
    int status = 0;
    if (m_pid > 0 && !m_exited && ::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_exited = true;
        m_refused = !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    return m_refused;
}

} // namespace quovant
