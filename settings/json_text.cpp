#include "settings/json_text.h"

namespace quovant {

// JSON only needs the quote, the backslash and control characters escaped; all of them are ASCII,
// so escaping the UTF-8 bytes directly is safe and avoids a second pass over UTF-16.
void appendJsonString(QByteArray& out, QStringView text) {
    static constexpr char kHex[] = "0123456789abcdef";
    const QByteArray utf8 = text.toUtf8();
    out.append('"');
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out.append("\\\"");
            break;
        case '\\':
            out.append("\\\\");
            break;
        case '\n':
            out.append("\\n");
            break;
        case '\r':
            out.append("\\r");
            break;
        case '\t':
            out.append("\\t");
            break;
        case '\b':
            out.append("\\b");
            break;
        case '\f':
            out.append("\\f");
            break;
        default:
            if (byte < 0x20) {
                out.append("\\u00");
                out.append(kHex[byte >> 4]);
                out.append(kHex[byte & 0xF]);
            } else {
                out.append(c);
            }
        }
    }
    out.append('"');
}

} // namespace quovant
