#include "platform/linux/agent/agent_tmux_session.h"

#include <QCoroProcess>
#include <QProcess>

#include <chrono>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace quovant {

// Argument lists are built in named variables before each co_await: g++ 12 rejects braced
// temporaries inside a co_await expression.

AgentTmuxSession::AgentTmuxSession(QString tmuxProgram, QString socketPath,
                                   QProcessEnvironment environment, QString sessionName)
    : m_program(std::move(tmuxProgram)), m_socket(std::move(socketPath)),
      m_environment(std::move(environment)), m_name(std::move(sessionName)) {
    // Inside another tmux the client would refuse to attach, and the agent must not believe it
    // runs in the user's own tmux.
    m_environment.remove(u"TMUX"_s);
    m_environment.remove(u"TMUX_PANE"_s);
}

QCoro::Task<AgentTmuxSession::Result> AgentTmuxSession::run(QStringList arguments,
                                                            QByteArray input) {
    QProcess process;
    process.setProcessEnvironment(m_environment);
    process.setProgram(m_program);
    // -f /dev/null: the user's tmux configuration could rebind keys or change paste behaviour.
    process.setArguments(QStringList{u"-f"_s, u"/dev/null"_s, u"-S"_s, m_socket} + arguments);
    process.start();
    Result result;
    if (!co_await qCoro(process).waitForStarted(10s)) {
        m_lastError = process.errorString();
        co_return result;
    }
    if (!input.isEmpty()) {
        process.write(input);
    }
    process.closeWriteChannel();
    if (!co_await qCoro(process).waitForFinished(10s)) {
        process.kill();
        process.waitForFinished(1000);
        m_lastError = u"tmux did not answer within 10 seconds"_s;
        co_return result;
    }
    result.ran = true;
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        m_lastError = QString::fromUtf8(process.readAllStandardError()).trimmed();
        co_return result;
    }
    result.succeeded = true;
    result.output = process.readAllStandardOutput();
    co_return result;
}

QCoro::Task<AgentTmuxSession::StartResult> AgentTmuxSession::start(QString launcherPath) {
    const QStringList create{u"new-session"_s, u"-d"_s,   u"-P"_s,  u"-F"_s,
                             u"#{pane_id} #{pane_pid}"_s, u"-s"_s,  m_name,
                             u"-x"_s,      u"120"_s,      u"-y"_s,  u"40"_s,
                             u"--"_s,      u"/bin/sh"_s,  launcherPath};
    const Result result = co_await run(create);
    if (!result.ran) {
        co_return StartResult::notStarted;
    }
    if (!result.succeeded) {
        co_return StartResult::refused;
    }
    const QStringList fields = QString::fromUtf8(result.output).trimmed().split(u' ');
    bool ok = false;
    const qint64 pid = fields.size() == 2 ? fields[1].toLongLong(&ok) : 0;
    if (!ok || !fields[0].startsWith(u'%')) {
        m_lastError = u"unexpected answer: "_s + QString::fromUtf8(result.output);
        co_return StartResult::refused;
    }
    m_paneID = fields[0];
    m_paneProcess = pid;
    // A bare terminal, as if the agent had been started in it directly.
    const QStringList plain{u"set-option"_s, u"-t"_s, u"="_s + m_name, u"status"_s, u"off"_s};
    co_await run(plain);
    co_return StartResult::started;
}

QCoro::Task<std::optional<qint64>> AgentTmuxSession::paneProcess() {
    if (m_paneID.isEmpty()) {
        co_return std::nullopt;
    }
    const QStringList query{u"display-message"_s, u"-p"_s, u"-t"_s, m_paneID,
                            u"#{pane_pid} #{pane_dead}"_s};
    const Result result = co_await run(query);
    const QStringList fields = QString::fromUtf8(result.output).trimmed().split(u' ');
    bool ok = false;
    const qint64 pid = result.succeeded && fields.size() == 2 ? fields[0].toLongLong(&ok) : 0;
    if (!ok || fields[1] == u"1"_s) {
        co_return std::nullopt;
    }
    co_return pid;
}

QCoro::Task<std::optional<QString>> AgentTmuxSession::screenText(qsizetype maxCharacters) {
    if (m_paneID.isEmpty()) {
        co_return std::nullopt;
    }
    const QStringList capture{u"capture-pane"_s, u"-p"_s, u"-J"_s, u"-t"_s, m_paneID};
    const Result result = co_await run(capture);
    if (!result.succeeded) {
        co_return std::nullopt;
    }
    const QString text = QString::fromUtf8(result.output);
    co_return text.size() > maxCharacters ? text.right(maxCharacters) : text;
}

QCoro::Task<bool> AgentTmuxSession::paste(QString text) {
    if (m_paneID.isEmpty()) {
        co_return false;
    }
    const QString buffer = m_name;
    const QStringList loadAndPaste{u"load-buffer"_s, u"-b"_s, buffer, u"-"_s, u";"_s,
                                   u"paste-buffer"_s, u"-p"_s, u"-d"_s, u"-b"_s, buffer,
                                   u"-t"_s, m_paneID};
    const Result result = co_await run(loadAndPaste, text.toUtf8());
    if (!result.succeeded) {
        // Never leave the specification lying in the server's buffers.
        const QString error = m_lastError;
        const QStringList discard{u"delete-buffer"_s, u"-b"_s, buffer};
        co_await run(discard);
        m_lastError = error;
        co_return false;
    }
    co_return true;
}

QCoro::Task<bool> AgentTmuxSession::pressEnter() {
    if (m_paneID.isEmpty()) {
        co_return false;
    }
    const QStringList enter{u"send-keys"_s, u"-t"_s, m_paneID, u"Enter"_s};
    const Result result = co_await run(enter);
    co_return result.succeeded;
}

QCoro::Task<void> AgentTmuxSession::kill() {
    const QStringList end{u"kill-session"_s, u"-t"_s, u"="_s + m_name};
    co_await run(end);
}

QStringList AgentTmuxSession::attachCommand() const {
    return {m_program, u"-S"_s, m_socket, u"attach-session"_s, u"-t"_s, u"="_s + m_name};
}

} // namespace quovant
