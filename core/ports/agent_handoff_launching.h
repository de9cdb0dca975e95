#pragma once

#include "core/agent_kind.h"
#include "core/forward.h"

#include <QCoroTask>
#include <QString>

namespace quovant {

// Hands a task specification to a coding agent started in a terminal. Main thread; `handoff`
// throws QuovantError on every failure.
class AgentHandoffLaunching {
public:
    virtual ~AgentHandoffLaunching() = default;

    // Whether the agent's executable can be found for the current user.
    virtual bool isAgentInstalled(AgentKind agent) = 0;
    virtual QCoro::Task<void> handoff(QString prompt, AgentKind agent,
                                      RepositoryContext repository) = 0;
};

} // namespace quovant
