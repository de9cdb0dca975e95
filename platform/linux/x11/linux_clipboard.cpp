#include "platform/linux/x11/linux_clipboard.h"

#include "platform/linux/x11/clipboard_owner.h"
#include "settings/log.h"

using namespace Qt::StringLiterals;

namespace quovant {

LinuxClipboard::LinuxClipboard() = default;
LinuxClipboard::~LinuxClipboard() = default;

bool LinuxClipboard::setPlainText(const QString& text) {
    if (!m_owner || !m_owner->isAlive()) {
        m_owner = ClipboardOwner::shared();
    }
    if (!m_owner || !m_owner->setText(text)) {
        Log::error(u"Could not put the text on the clipboard: the X display's clipboard is not "_s
                   u"reachable."_s);
        return false;
    }
    return true;
}

} // namespace quovant
