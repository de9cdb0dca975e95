#pragma once

#include <QCoroTask>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <optional>

namespace quovant {

// One hand-off's tmux session on a private server (its own socket, no user configuration). The
// agent runs in its single pane; text reaches that pane and no other, whatever window has focus.
// Main thread; every command is a short-lived tmux client awaited without blocking.
class AgentTmuxSession {
public:
    enum class StartResult { started, notStarted, refused };

    AgentTmuxSession(QString tmuxProgram, QString socketPath, QProcessEnvironment environment,
                     QString sessionName);

    // Creates the session, detached, running "/bin/sh <launcherPath>" directly (no shell parses
    // the path), and records its pane.
    QCoro::Task<StartResult> start(QString launcherPath);
    // The process that started the pane; known after a successful start.
    qint64 paneProcessAtStart() const { return m_paneProcess; }
    struct PaneView {
        qint64 process = 0;
        // The visible text with wrapped lines joined.
        QString screen;
    };
    // The pane's process and at most the last `maxCharacters` of its screen; absent once the
    // pane is gone.
    QCoro::Task<std::optional<PaneView>> look(qsizetype maxCharacters);
    // Pastes as the terminal would, bracketed when the program asked for bracketed paste; the
    // buffer is deleted afterwards.
    QCoro::Task<bool> paste(QString text);
    // Presses Enter in the pane only while its process is still `expectedProcess`.
    enum class Submission { submitted, paneChanged, failed };
    QCoro::Task<Submission> pressEnter(qint64 expectedProcess);
    QCoro::Task<void> kill();

    // The command a terminal runs to show the session.
    QStringList attachCommand() const;
    // What tmux said on standard error the last time a command failed.
    const QString& lastError() const { return m_lastError; }

private:
    struct Result {
        bool ran = false;        // tmux started and answered in time
        bool succeeded = false;  // ... with exit status 0
        QByteArray output;
    };
    QCoro::Task<Result> run(QStringList arguments, QByteArray input = {});

    QString m_program;
    QString m_socket;
    QProcessEnvironment m_environment;
    QString m_name;
    QString m_paneID;
    qint64 m_paneProcess = 0;
    QString m_lastError;
};

} // namespace quovant
