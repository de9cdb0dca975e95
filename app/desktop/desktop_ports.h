#pragma once

#include "core/platform_kit.h"
#include "settings/config.h"

#include <memory>

namespace quovant {

class LinuxNotifier;

// The Linux desktop's implementations of the ports, one factory each, so the shell never names a
// concrete service. A service this build lacks gives its inert stand-in (or null where the
// pipeline can do without it). Main thread.
namespace DesktopPorts {

std::shared_ptr<AudioCapturing> makeCapture(const Config& config);
std::shared_ptr<LinuxNotifier> makeNotifier();
std::shared_ptr<RepositoryContextProviding> makeRepositoryProvider();
std::shared_ptr<GlobalHotkey> makeHotkey(PushToTalkKey key);
std::shared_ptr<ClipboardWriting> makeClipboard();
// Types through the clipboard; null without a display that can type.
std::shared_ptr<TextInjector> makeInjector(std::shared_ptr<ClipboardWriting> clipboard);
std::shared_ptr<SelectionEditing> makeSelectionEditor(std::shared_ptr<TextInjector> injector);
std::shared_ptr<FrontmostAppProvider> makeFrontmostApp();
std::shared_ptr<AgentHandoffLaunching>
makeAgentLauncher(std::shared_ptr<TextInjector> injector);

} // namespace DesktopPorts
} // namespace quovant
