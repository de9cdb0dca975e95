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
    // The status line goes in the same round trip: a bare terminal, as if the agent had been
    // started in it directly.
    const QStringList create{u"new-session"_s, u"-d"_s,   u"-P"_s,     u"-F"_s,
                             u"#{pane_id} #{pane_pid}"_s, u"-s"_s,     m_name,
                             u"-x"_s,      u"120"_s,      u"-y"_s,     u"40"_s,
                             u"--"_s,      u"/bin/sh"_s,  launcherPath, u";"_s,
                             u"set-option"_s, u"status"_s, u"off"_s};
    Result result = co_await run(create);
    // The server exits with its last session; a session asked for at that moment meets a server
    // on its way out. A fresh client then starts a new one.
    for (int retry = 0; retry < 2 && result.ran && !result.succeeded; ++retry) {
        const QStringList exists{u"has-session"_s, u"-t"_s, u"="_s + m_name};
        const QString error = m_lastError;
        if ((co_await run(exists)).succeeded) {
            m_lastError = error;
            break;
        }
        result = co_await run(create);
    }
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
    co_return StartResult::started;
}

QCoro::Task<std::optional<AgentTmuxSession::PaneView>>
AgentTmuxSession::look(qsizetype maxCharacters) {
    if (m_paneID.isEmpty()) {
        co_return std::nullopt;
    }
    const QStringList query{u"display-message"_s, u"-p"_s,  u"-t"_s, m_paneID,
                            u"#{pane_pid}"_s,     u";"_s,   u"capture-pane"_s,
                            u"-p"_s,              u"-J"_s,  u"-t"_s, m_paneID};
    const Result result = co_await run(query);
    if (!result.succeeded) {
        co_return std::nullopt;
    }
    const QString text = QString::fromUtf8(result.output);
    const qsizetype lineEnd = text.indexOf(u'\n');
    bool ok = false;
    const qint64 pid = text.left(lineEnd).toLongLong(&ok);
    if (lineEnd < 0 || !ok) {
        co_return std::nullopt;
    }
    PaneView view{pid, text.mid(lineEnd + 1)};
    if (view.screen.size() > maxCharacters) {
        view.screen = view.screen.right(maxCharacters);
    }
    co_return view;
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
        // Never leave the prompt lying in the server's buffers.
        const QString error = m_lastError;
        const QStringList discard{u"delete-buffer"_s, u"-b"_s, buffer};
        co_await run(discard);
        m_lastError = error;
        co_return false;
    }
    co_return true;
}

QCoro::Task<AgentTmuxSession::Submission> AgentTmuxSession::pressEnter(qint64 expectedProcess) {
    if (m_paneID.isEmpty()) {
        co_return Submission::paneChanged;
    }
    // The server checks the pane's process and presses Enter in one step, so nothing can take
    // the agent's place in between.
    const QStringList enter{u"if-shell"_s,
                            u"-F"_s,
                            u"-t"_s,
                            m_paneID,
                            u"#{==:#{pane_pid},"_s + QString::number(expectedProcess) + u"}"_s,
                            u"send-keys -t "_s + m_paneID + u" Enter"_s,
                            u"display-message -p changed"_s};
    const Result result = co_await run(enter);
    if (!result.succeeded) {
        co_return Submission::failed;
    }
    co_return result.output.trimmed().isEmpty() ? Submission::submitted : Submission::paneChanged;
}

QCoro::Task<void> AgentTmuxSession::kill() {
    const QStringList end{u"kill-session"_s, u"-t"_s, u"="_s + m_name};
    co_await run(end);
}

QStringList AgentTmuxSession::attachCommand() const {
    return {m_program, u"-S"_s, m_socket, u"attach-session"_s, u"-t"_s, u"="_s + m_name};
}

} // namespace quovant
