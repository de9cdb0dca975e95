#pragma once

#include <QString>
#include <QStringList>

#include <chrono>

namespace quovant {

// Pronunciations in the acoustic model's phone set (the 39 phones of the CMU dictionary, upper
// case, separated by blanks) for words the model's dictionary lacks. Pure except `guess`, which
// runs espeak-ng; any thread.
namespace Pronunciations {

// espeak-ng's phoneme mnemonics as `espeak-ng -x --sep=" "` prints them ("k j 'u: b E k t @L")
// in the model's phones ("K Y UW B EH K T AH L"); empty when a mnemonic has no counterpart.
QString fromEspeak(QStringView mnemonics);

// espeak-ng's American pronunciation of each word, mapped with `fromEspeak`; an empty entry
// where it gave nothing usable, and all empty when espeak-ng is missing, fails or does not
// finish within `timeout` (it is killed then).
QStringList guess(const QStringList& words, std::chrono::milliseconds timeout);

// Letter by letter, as an identifier is spelled out: "ctl" → "S IY T IY EH L". Empty when a
// character is not an ASCII letter or digit.
QString spelled(QStringView word);

} // namespace Pronunciations
} // namespace quovant
