#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

namespace quovant {

// Decides whether a process id names the agent a hand-off started, from the marker the launcher
// wrote and the process's own command line in /proc. Thread-safe.
class AgentProcessCommandVerifier {
public:
    // The arguments of a /proc/<pid>/cmdline: split at NUL bytes, empty pieces dropped.
    static QStringList splitCommandLine(const QByteArray& raw);
    // One argument is exactly the expected executable path.
    static bool matches(const QStringList& arguments, const QString& expectedExecutable);

    // The process id in a marker's text: trimmed, a 32-bit integer greater than 1.
    static std::optional<qint64> parseMarker(const QByteArray& content);
    // Signal 0 can be delivered to it.
    static bool processExists(qint64 processID);
    // It exists and its command line `matches` the executable; false when /proc cannot tell.
    static bool processMatches(qint64 processID, const QString& executable);

    enum class Readiness { ready, exited, waiting, launcherStopped };
    // One look at a hand-off: the marker's content (absent while unwritten) and the process that
    // started the agent's pane. Only that process can be the agent, since the launcher replaces
    // itself with it: `ready` when the marker names it and it runs the executable, `exited` when
    // the marker names it and it is gone, `launcherStopped` when it is gone without a valid
    // marker, else `waiting`.
    static Readiness inspect(const std::optional<QByteArray>& marker, qint64 paneProcess,
                             const QString& executable);
};

} // namespace quovant
