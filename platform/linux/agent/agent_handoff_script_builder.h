#pragma once

#include <QString>

namespace quovant {

// The one-shot launcher a hand-off runs in the terminal: it enters the repository, records its
// process id in the marker and replaces itself with the agent, so the recorded id is the agent's
// own. Pure; thread-safe.
class AgentHandoffScriptBuilder {
public:
    // POSIX shell text, no trailing line feed. Every path is quoted, so no byte of a path is ever
    // read as shell syntax.
    static QString makeScript(const QString& executablePath, const QString& repositoryPath,
                              const QString& markerPath);
    // `text` in single quotes, each single quote inside written as '\''.
    static QString quote(const QString& text);
};

} // namespace quovant
