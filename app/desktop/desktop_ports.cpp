#include "app/desktop/desktop_ports.h"

#include "platform/linux/accessibility/atspi_reader.h"
#include "platform/linux/accessibility/linux_selection_editor.h"
#include "platform/linux/agent/linux_agent_handoff_launcher.h"
#include "platform/linux/audio/audio_capture_factory.h"
#include "platform/linux/desktop/linux_notifier.h"
#include "platform/linux/x11/linux_clipboard.h"
#include "platform/linux/x11/linux_frontmost_app.h"
#include "platform/linux/x11/linux_hotkey.h"
#include "platform/linux/x11/linux_text_injector.h"
#include "repository/linux_repository_context_provider.h"

namespace quovant::DesktopPorts {

std::shared_ptr<AudioCapturing> makeCapture(const Config& config) {
    return makeAudioCapture(config);
}

std::shared_ptr<LinuxNotifier> makeNotifier() {
    return std::make_shared<LinuxNotifier>();
}

std::shared_ptr<LinuxFrontmostApp> makeFrontmostApp() {
    return std::make_shared<LinuxFrontmostApp>();
}

std::shared_ptr<RepositoryContextProviding>
makeRepositoryProvider(std::shared_ptr<FocusedWindowInfoSource> focusedWindow) {
    return std::make_shared<LinuxRepositoryContextProvider>(std::move(focusedWindow));
}

std::shared_ptr<GlobalHotkey> makeHotkey(PushToTalkKey key) {
    return std::make_shared<LinuxHotkey>(key);
}

std::shared_ptr<ClipboardWriting> makeClipboard() {
    return std::make_shared<LinuxClipboard>();
}

std::shared_ptr<AtspiReader> makeAccessibilityReader() {
    return std::make_shared<AtspiReader>();
}

std::shared_ptr<TextInjector> makeInjector(std::shared_ptr<AtspiReader> reader) {
    return std::make_shared<LinuxTextInjector>(
        [reader] { return reader ? reader->focusedFieldIsSecure() : std::nullopt; });
}

std::shared_ptr<SelectionEditing> makeSelectionEditor(std::shared_ptr<AtspiReader> reader,
                                                      std::shared_ptr<TextInjector> injector) {
    return std::make_shared<LinuxSelectionEditor>(std::move(reader), std::move(injector));
}

std::shared_ptr<AgentHandoffLaunching> makeAgentLauncher() {
    return std::make_shared<LinuxAgentHandoffLauncher>();
}

} // namespace quovant::DesktopPorts
