#include "platform/linux/agent/agent_process_command_verifier.h"

#include <QFile>

#include <climits>
#include <signal.h>

using namespace Qt::StringLiterals;

namespace quovant {

QStringList AgentProcessCommandVerifier::splitCommandLine(const QByteArray& raw) {
    QStringList arguments;
    for (const QByteArray& piece : raw.split('\0')) {
        if (!piece.isEmpty()) {
            arguments.append(QFile::decodeName(piece));
        }
    }
    return arguments;
}

bool AgentProcessCommandVerifier::matches(const QStringList& arguments,
                                          const QString& expectedExecutable) {
    return !expectedExecutable.isEmpty() && arguments.contains(expectedExecutable);
}

std::optional<qint64> AgentProcessCommandVerifier::parseMarker(const QByteArray& content) {
    bool ok = false;
    const int value = QString::fromUtf8(content).trimmed().toInt(&ok);
    if (!ok || value <= 1) {
        return std::nullopt;
    }
    return value;
}

bool AgentProcessCommandVerifier::processExists(qint64 processID) {
    return processID > 0 && processID <= INT_MAX && ::kill(pid_t(processID), 0) == 0;
}

bool AgentProcessCommandVerifier::processMatches(qint64 processID, const QString& executable) {
    if (!processExists(processID)) {
        return false;
    }
    QFile file(u"/proc/"_s + QString::number(processID) + u"/cmdline"_s);
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    return matches(splitCommandLine(file.read(1 << 20)), executable);
}

AgentProcessCommandVerifier::Readiness
AgentProcessCommandVerifier::inspect(const std::optional<QByteArray>& marker, qint64 paneProcess,
                                     const QString& executable) {
    const std::optional<qint64> pid = marker ? parseMarker(*marker) : std::nullopt;
    if (pid && *pid == paneProcess) {
        if (processMatches(paneProcess, executable)) {
            return Readiness::ready;
        }
        return processExists(paneProcess) ? Readiness::waiting : Readiness::exited;
    }
    return processExists(paneProcess) ? Readiness::waiting : Readiness::launcherStopped;
}

} // namespace quovant
