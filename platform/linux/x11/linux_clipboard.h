#pragma once

#include "core/ports/clipboard_writing.h"

#include <memory>

namespace quovant {

class ClipboardOwner;

// The X11 CLIPBOARD for text that could not be typed. The text stays there after Quovant exits
// when a clipboard manager runs (SAVE_TARGETS). Main thread; never throws.
class LinuxClipboard final : public ClipboardWriting {
public:
    LinuxClipboard();
    ~LinuxClipboard() override;

    bool setPlainText(const QString& text) override;

private:
    std::shared_ptr<ClipboardOwner> m_owner;
};

} // namespace quovant
