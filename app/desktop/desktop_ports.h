#pragma once

#include "core/platform_kit.h"
#include "repository/focused_window_info_source.h"
#include "settings/config.h"

#include <memory>

namespace quovant {

class AtspiReader;
class LinuxFrontmostApp;
class LinuxNotifier;

// The Linux desktop's implementations of the ports, one factory each, so the shell never names a
// concrete service. A service this build lacks gives its inert stand-in (or null where the
// pipeline can do without it). Main thread.
namespace DesktopPorts {

std::shared_ptr<AudioCapturing> makeCapture(const Config& config);
std::shared_ptr<LinuxNotifier> makeNotifier();
// The application in front; also tells the repository provider what its window shows.
std::shared_ptr<LinuxFrontmostApp> makeFrontmostApp();
std::shared_ptr<RepositoryContextProviding>
makeRepositoryProvider(std::shared_ptr<FocusedWindowInfoSource> focusedWindow);
std::shared_ptr<GlobalHotkey> makeHotkey(PushToTalkKey key);
std::shared_ptr<ClipboardWriting> makeClipboard();
// The accessibility bus reader shared by typing (password fields) and Edit in Place.
std::shared_ptr<AtspiReader> makeAccessibilityReader();
// Types through the clipboard, never into a password field the reader knows of.
std::shared_ptr<TextInjector> makeInjector(std::shared_ptr<AtspiReader> reader);
std::shared_ptr<SelectionEditing> makeSelectionEditor(std::shared_ptr<AtspiReader> reader,
                                                      std::shared_ptr<TextInjector> injector);
std::shared_ptr<AgentHandoffLaunching> makeAgentLauncher();

} // namespace DesktopPorts
} // namespace quovant
