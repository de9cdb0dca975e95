#pragma once

#include <QList>
#include <QtGlobal>

namespace quovant {

// A silence the speaker left between two words of a raw transcript, as the recogniser timed it.
struct SpeechPause {
    // How many blank-separated words of the raw transcript come before the pause.
    qsizetype wordsBefore = 0;
    int milliseconds = 0;

    bool operator==(const SpeechPause&) const = default;
};

// In transcript order; empty when the recogniser does not time its words.
using SpeechPauses = QList<SpeechPause>;

} // namespace quovant
