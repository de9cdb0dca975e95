#include "app/desktop/desktop_ports.h"

#include "platform/inert/memory_clipboard.h"
#include "platform/inert/unknown_frontmost_app.h"
#include "platform/inert/unsupported_hotkey.h"
#include "platform/linux/audio/audio_capture_factory.h"
#include "platform/linux/desktop/linux_notifier.h"
#include "repository/linux_repository_context_provider.h"
#include "settings/log.h"

using namespace Qt::StringLiterals;

namespace quovant::DesktopPorts {

std::shared_ptr<AudioCapturing> makeCapture(const Config& config) {
    return makeAudioCapture(config);
}

std::shared_ptr<LinuxNotifier> makeNotifier() {
    return std::make_shared<LinuxNotifier>();
}

std::shared_ptr<RepositoryContextProviding> makeRepositoryProvider() {
    return std::make_shared<LinuxRepositoryContextProvider>(nullptr);
}

std::shared_ptr<GlobalHotkey> makeHotkey(PushToTalkKey) {
    return std::make_shared<UnsupportedHotkey>();
}

std::shared_ptr<ClipboardWriting> makeClipboard() {
    return std::make_shared<MemoryClipboard>();
}

std::shared_ptr<TextInjector> makeInjector(std::shared_ptr<ClipboardWriting>) {
    return nullptr;
}

std::shared_ptr<SelectionEditing> makeSelectionEditor(std::shared_ptr<TextInjector>) {
    return nullptr;
}

std::shared_ptr<FrontmostAppProvider> makeFrontmostApp() {
    return std::make_shared<UnknownFrontmostApp>();
}

std::shared_ptr<AgentHandoffLaunching> makeAgentLauncher(std::shared_ptr<TextInjector>) {
    return nullptr;
}

} // namespace quovant::DesktopPorts
