#pragma once

#include <QByteArray>
#include <QStringView>

namespace quovant {

// Appends `text` as a JSON string literal: quoted, in UTF-8, with the quote, the backslash and
// control characters escaped.
void appendJsonString(QByteArray& out, QStringView text);

} // namespace quovant
