#pragma once

#include <QString>

namespace quovant {

// The desktop clipboard, where text goes when it cannot be typed. Main thread; never throws.
class ClipboardWriting {
public:
    virtual ~ClipboardWriting() = default;

    // Replaces everything on the clipboard with `text` as plain text; false when the text could
    // not be put there.
    virtual bool setPlainText(const QString& text) = 0;
};

} // namespace quovant
