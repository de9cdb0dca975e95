#pragma once

#include "core/ports/text_injector.h"

#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace quovant {

class ClipboardOwner;

// Types text into the focused X11 application: our text goes on the CLIPBOARD (owned by the
// process's ClipboardOwner), XTest sends Ctrl+V (Ctrl+Shift+V to terminal emulators), and the
// user's clipboard comes back once the application has fetched the text. Main thread; `inject`
// throws QuovantError and returns without waiting for the restore.
class LinuxTextInjector final : public TextInjector {
public:
    // `focusedFieldIsSecure` answers whether the focused field is a password field; absent means
    // unknown, which allows typing. Without it every field is allowed.
    explicit LinuxTextInjector(std::function<std::optional<bool>()> focusedFieldIsSecure = {});
    ~LinuxTextInjector() override;
    LinuxTextInjector(const LinuxTextInjector&) = delete;
    LinuxTextInjector& operator=(const LinuxTextInjector&) = delete;

    void inject(const QString& text) override;

    // Window classes (instance or class, compared without case) that paste with Ctrl+Shift+V.
    static bool isTerminal(const QString& instance, const QString& className);

private:
    struct Keyboard;

    std::function<std::optional<bool>()> m_focusedFieldIsSecure;
    std::unique_ptr<Keyboard> m_keyboard;
    std::shared_ptr<ClipboardOwner> m_owner;
};

} // namespace quovant
