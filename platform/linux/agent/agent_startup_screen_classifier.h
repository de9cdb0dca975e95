#pragma once

#include <QString>
#include <QStringList>

namespace quovant {

enum class AgentStartupScreenStatus { ready, needsUserAction };

// Tells whether an agent's first screen waits for the user (a folder-trust question, a sign-in)
// rather than for a prompt. Pure; thread-safe.
class AgentStartupScreenClassifier {
public:
    static const QStringList& markers();
    static AgentStartupScreenStatus classify(const QString& screenText);
};

} // namespace quovant
