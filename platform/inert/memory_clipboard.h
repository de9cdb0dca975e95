#pragma once

#include "core/ports/clipboard_writing.h"

namespace quovant {

// A clipboard for machines without a desktop: the text stays in memory for the process.
class MemoryClipboard final : public ClipboardWriting {
public:
    bool setPlainText(const QString& text) override {
        m_text = text;
        return true;
    }
    const QString& text() const { return m_text; }

private:
    QString m_text;
};

} // namespace quovant
