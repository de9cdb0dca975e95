#pragma once

#include "core/forward.h"
#include "core/ports/agent_handoff_launching.h"
#include "core/ports/asr_engine.h"
#include "core/ports/audio_capturing.h"
#include "core/ports/clipboard_writing.h"
#include "core/ports/frontmost_app_provider.h"
#include "core/ports/global_hotkey.h"
#include "core/ports/repository_context_providing.h"
#include "core/ports/selection_editing.h"
#include "core/ports/text_formatter.h"
#include "core/ports/text_injector.h"
#include "core/ports/user_notifier.h"

#include <functional>
#include <memory>

namespace quovant {

// The desktop services handed to the pipeline. Optional slots are null where the platform
// cannot provide them; the factories give null when the platform has no engine of its own.
struct PlatformKit {
    std::shared_ptr<GlobalHotkey> hotkey;
    std::shared_ptr<AudioCapturing> capture;
    std::shared_ptr<TextInjector> injector;
    std::shared_ptr<SelectionEditing> selectionEditor;
    std::shared_ptr<FrontmostAppProvider> frontmostApp;
    std::shared_ptr<RepositoryContextProviding> repositoryContext;
    std::shared_ptr<AgentHandoffLaunching> agentHandoff;
    std::shared_ptr<UserNotifier> notifier;
    std::shared_ptr<ClipboardWriting> clipboard;
    std::function<std::shared_ptr<AsrEngine>(const Config&)> nativeAsrEngine;
    std::function<std::shared_ptr<TextFormatter>()> nativeFormatter;
};

} // namespace quovant
