#include "platform/linux/agent/linux_agent_handoff_launcher.h"

#include "core/quovant_error.h"
#include "platform/linux/agent/agent_executable_locator.h"
#include "platform/linux/agent/agent_handoff_script_builder.h"
#include "platform/linux/agent/agent_process_command_verifier.h"
#include "platform/linux/agent/agent_startup_screen_classifier.h"
#include "platform/linux/agent/agent_terminal_opener.h"
#include "platform/linux/agent/agent_tmux_session.h"
#include "repository/repository_context.h"
#include "repository/repository_indexer.h"
#include "settings/log.h"
#include "settings/paths.h"

#include <QCoroTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QCoroSignal>
#include <QSaveFile>
#include <QStandardPaths>
#include <QUuid>

#include <dirent.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>

using namespace Qt::StringLiterals;

namespace quovant {
namespace {

constexpr qsizetype kScreenCharacters = 12000;
constexpr int kLauncherMaxAgeSeconds = 3600;

QString defaultHome(const QProcessEnvironment& environment) {
    const QString home = environment.value(u"HOME"_s);
    return home.startsWith(u'/') ? home : QDir::homePath();
}

QString defaultSocket(const QString& handoffDirectory) {
    const QString beside = handoffDirectory + u"/tmux.sock"_s;
    if (QFile::encodeName(beside).size() < qsizetype(sizeof(sockaddr_un::sun_path))) {
        return beside;
    }
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) +
           u"/quovant-agents.sock"_s;
}

[[noreturn]] void fail(const QString& reason) {
    throw QuovantError::agentHandoffFailed(reason);
}

[[noreturn]] void fileSystemFailure(const QString& what) {
    throw std::runtime_error(what.toStdString());
}

void createHandoffDirectory(const QString& directory) {
    if (!QDir().mkpath(directory)) {
        fileSystemFailure(u"Could not create the hand-off folder "_s + directory + u"."_s);
    }
    if (::chmod(QFile::encodeName(directory).constData(), 0700) != 0) {
        fileSystemFailure(u"Could not protect the hand-off folder "_s + directory + u"."_s);
    }
}

void writeLauncher(const QString& path, const QString& script) {
    QSaveFile file(path);
    const auto ownerOnly =
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
    if (!file.open(QIODevice::WriteOnly) || file.write(script.toUtf8()) < 0 ||
        !file.setPermissions(ownerOnly) || !file.commit()) {
        fileSystemFailure(u"Could not write the agent launcher "_s + path + u": "_s +
                          file.errorString() + u"."_s);
    }
    if (!QFile::setPermissions(path, ownerOnly)) {
        fileSystemFailure(u"Could not protect the agent launcher "_s + path + u"."_s);
    }
}

// Removes one hand-off's files however the hand-off ends.
struct HandoffFiles {
    QString launcher;
    QString marker;
    ~HandoffFiles() {
        QFile::remove(launcher);
        QFile::remove(marker);
    }
};

// Whether the agent has ended: gone, or a zombie its pane has not reaped yet (no command line).
bool agentEnded(qint64 pid) {
    if (!AgentProcessCommandVerifier::processExists(pid)) {
        return true;
    }
    QFile file(u"/proc/"_s + QString::number(pid) + u"/cmdline"_s);
    return !file.open(QIODevice::ReadOnly) || file.read(1).isEmpty();
}

} // namespace

LinuxAgentHandoffLauncher::LinuxAgentHandoffLauncher() : LinuxAgentHandoffLauncher(Options{}) {}

LinuxAgentHandoffLauncher::LinuxAgentHandoffLauncher(Options options)
    : m_options(std::move(options)) {
    if (m_options.homeDirectory.isEmpty()) {
        m_options.homeDirectory = defaultHome(m_options.environment);
    }
    if (m_options.handoffDirectory.isEmpty()) {
        m_options.handoffDirectory = Paths::root() + u"/handoffs"_s;
    }
    if (m_options.tmuxSocket.isEmpty()) {
        m_options.tmuxSocket = defaultSocket(m_options.handoffDirectory);
    }
    m_options.environment.remove(u"TMUX"_s);
    m_options.environment.remove(u"TMUX_PANE"_s);
}

bool LinuxAgentHandoffLauncher::isAgentInstalled(AgentKind agent) {
    return AgentExecutableLocator::locate(agent, m_options.homeDirectory).has_value();
}

void LinuxAgentHandoffLauncher::cleanupOldLaunchers(const QString& directory) {
    const QByteArray encoded = QFile::encodeName(directory);
    DIR* dir = ::opendir(encoded.constData());
    if (dir == nullptr) {
        return;
    }
    const time_t now = ::time(nullptr);
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (!name.startsWith("launch-") && !name.startsWith("agent-")) {
            continue;
        }
        const QByteArray path = encoded + '/' + name;
        struct stat st;
        // lstat: a link is judged, and removed, as itself.
        if (::lstat(path.constData(), &st) == 0 && !S_ISDIR(st.st_mode) &&
            now - st.st_mtime > kLauncherMaxAgeSeconds) {
            ::unlink(path.constData());
        }
    }
    ::closedir(dir);
}

QCoro::Task<LinuxAgentHandoffLauncher::AgentWait>
LinuxAgentHandoffLauncher::waitForAgent(QString markerPath, QString executable,
                                        qint64 paneProcess) {
    // The poll is the rule; the watcher only lets a marker written early be seen early.
    QFileSystemWatcher watcher({QFileInfo(markerPath).path()});
    QElapsedTimer elapsed;
    elapsed.start();
    const auto limit = m_options.timing.agentWait;
    while (true) {
        QFile file(markerPath);
        std::optional<QByteArray> marker;
        if (file.open(QIODevice::ReadOnly)) {
            marker = file.read(64);
        }
        switch (AgentProcessCommandVerifier::inspect(marker, paneProcess, executable)) {
        case AgentProcessCommandVerifier::Readiness::ready:
            co_return AgentWait::ready;
        case AgentProcessCommandVerifier::Readiness::exited:
            co_return AgentWait::exited;
        case AgentProcessCommandVerifier::Readiness::launcherStopped:
            // Its folder vanished, say: nothing will write the marker any more.
            co_return AgentWait::timedOut;
        case AgentProcessCommandVerifier::Readiness::waiting:
            break;
        }
        const auto remaining = limit - std::chrono::milliseconds(elapsed.elapsed());
        if (remaining <= std::chrono::milliseconds(0)) {
            co_return AgentWait::timedOut;
        }
        co_await qCoro(&watcher, &QFileSystemWatcher::directoryChanged,
                       std::min(m_options.timing.poll, remaining));
    }
}

QCoro::Task<void> LinuxAgentHandoffLauncher::handoff(QString prompt, AgentKind agent,
                                                     RepositoryContext repository) {
    const QString displayName = AgentExecutableLocator::displayName(agent);
    if (prompt.trimmed().isEmpty()) {
        fail(u"the generated prompt is empty"_s);
    }

    const std::optional<QString> root = repository.rootPath.isEmpty()
                                            ? std::nullopt
                                            : RepositoryIndexer::findRepositoryRoot(
                                                  repository.rootPath);
    if (!root || *root != QDir::cleanPath(QDir(repository.rootPath).absolutePath())) {
        throw QuovantError::repositoryUnavailable(u"the detected worktree no longer exists"_s);
    }

    const std::optional<QString> executable =
        AgentExecutableLocator::locate(agent, m_options.homeDirectory);
    if (!executable) {
        throw QuovantError::agentUnavailable(displayName +
                                             u" CLI is not installed in a trusted location"_s);
    }

    const QString directory = m_options.handoffDirectory;
    createHandoffDirectory(directory);
    cleanupOldLaunchers(directory);

    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    const HandoffFiles files{directory + u"/launch-"_s + id + u".command"_s,
                             directory + u"/agent-"_s + id + u".pid"_s};
    writeLauncher(files.launcher,
                  AgentHandoffScriptBuilder::makeScript(*executable, *root, files.marker));

    const QStringList searchPath =
        m_options.environment.value(u"PATH"_s).split(u':', Qt::SkipEmptyParts);
    const QString tmux =
        searchPath.isEmpty() ? QString() : QStandardPaths::findExecutable(u"tmux"_s, searchPath);
    if (tmux.isEmpty()) {
        Log::warn(u"Agent hand-off needs tmux, which was not found on the search path."_s);
        fail(u"terminal could not be opened"_s);
    }
    AgentTmuxSession session(tmux, m_options.tmuxSocket, m_options.environment,
                             u"quovant-"_s + id);
    switch (co_await session.start(files.launcher)) {
    case AgentTmuxSession::StartResult::notStarted:
        Log::warn(u"tmux could not be started: "_s + session.lastError());
        fail(u"terminal could not be opened"_s);
    case AgentTmuxSession::StartResult::refused:
        Log::warn(u"tmux refused the agent session: "_s + session.lastError());
        co_await session.kill();
        fail(u"terminal rejected the agent launcher"_s);
    case AgentTmuxSession::StartResult::started:
        break;
    }

    // From here a failure that leaves no window for the user also ends the agent: a process
    // nobody can see must not linger.
    AgentTerminalOpener terminal(m_options.environment);
    const std::optional<TerminalCommand> terminalCommand =
        AgentTerminalOpener::command(m_options.environment, session.attachCommand());
    if (!terminalCommand) {
        co_await session.kill();
        Log::warn(u"No terminal emulator was found; set $TERMINAL or install one (xterm, "
                  u"gnome-terminal, konsole, …)."_s);
        fail(u"terminal could not be opened"_s);
    }
    if (!terminal.open(*terminalCommand)) {
        co_await session.kill();
        Log::warn(u"The terminal "_s + terminalCommand->program + u" could not be started."_s);
        fail(u"terminal could not be opened"_s);
    }
    const qint64 pid = session.paneProcessAtStart();
    const AgentWait wait = co_await waitForAgent(files.marker, *executable, pid);
    if (terminal.refused()) {
        co_await session.kill();
        Log::warn(u"The terminal "_s + terminalCommand->program + u" exited with an error."_s);
        fail(u"terminal rejected the agent launcher"_s);
    }
    if (wait == AgentWait::timedOut) {
        fail(u"the agent did not become ready in the terminal"_s);
    }
    if (wait == AgentWait::exited) {
        fail(displayName + u" exited before receiving the prompt"_s);
    }

    co_await QCoro::sleepFor(m_options.timing.settle);
    if (!AgentProcessCommandVerifier::processExists(pid)) {
        fail(displayName + u" exited before receiving the prompt"_s);
    }
    if (terminal.refused()) {
        co_await session.kill();
        Log::warn(u"The terminal "_s + terminalCommand->program + u" exited with an error."_s);
        fail(u"terminal rejected the agent launcher"_s);
    }
    // The pane takes the place of the focused window: it must still be there and still hold
    // the agent.
    const std::optional<AgentTmuxSession::PaneView> pane = co_await session.look(kScreenCharacters);
    if (!pane || pane->process != pid ||
        !AgentProcessCommandVerifier::processMatches(pid, *executable)) {
        // An agent that quits at once takes its pane with it: that is an exit, not a change.
        if (agentEnded(pid)) {
            fail(displayName + u" exited before receiving the prompt"_s);
        }
        fail(u"the terminal pane changed before the prompt could be submitted"_s);
    }
    if (AgentStartupScreenClassifier::classify(pane->screen) ==
        AgentStartupScreenStatus::needsUserAction) {
        fail(u"finish the agent's trust or sign-in prompt, then paste the copied specification"_s);
    }

    if (!co_await session.paste(prompt)) {
        Log::warn(u"tmux could not paste into the agent's pane: "_s + session.lastError());
        fail(u"could not paste the prompt into the terminal"_s);
    }

    co_await QCoro::sleepFor(m_options.timing.submitPause);
    if (!AgentProcessCommandVerifier::processMatches(pid, *executable)) {
        fail(u"the terminal pane or agent state changed before submission"_s);
    }
    switch (co_await session.pressEnter(pid)) {
    case AgentTmuxSession::Submission::paneChanged:
        fail(u"the terminal pane or agent state changed before submission"_s);
    case AgentTmuxSession::Submission::failed:
        Log::warn(u"tmux could not press Enter in the agent's pane: "_s + session.lastError());
        fail(u"could not submit the prompt"_s);
    case AgentTmuxSession::Submission::submitted:
        break;
    }

    Log::info(u"Prompt handed off · "_s + displayName + u" · "_s + repository.name);
}

} // namespace quovant
