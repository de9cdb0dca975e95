#pragma once

namespace quovant {

// The coding-agent command-line programs a prompt can be handed to.
enum class AgentKind { codex, claude };

} // namespace quovant
