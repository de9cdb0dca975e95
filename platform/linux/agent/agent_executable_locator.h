#pragma once

#include "core/agent_kind.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace quovant {

// Finds a coding agent's program in the few places a user installs it on purpose. The search
// path is never consulted: a version manager or a project folder on it could supply any program
// under the agent's name. Pure apart from reading file metadata; thread-safe.
class AgentExecutableLocator {
public:
    // "codex" / "claude".
    static QString executableName(AgentKind agent);
    // "Codex" / "Claude Code".
    static QString displayName(AgentKind agent);

    // The trusted locations, in order of preference.
    static QStringList candidates(AgentKind agent, const QString& homeDirectory);
    // The first candidate that is an executable regular file (symbolic links followed).
    static std::optional<QString> locate(AgentKind agent, const QString& homeDirectory);
};

} // namespace quovant
