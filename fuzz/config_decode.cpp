// Arbitrary bytes as the settings file: decoding must end in a record or a refusal, and a decoded
// record must survive being saved and read again unchanged.
#include "settings/config.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

using namespace quovant;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const std::optional<Config> decoded = Config::decode(bytes);
    if (!decoded) {
        return 0;
    }
    if (decoded->editKey == decoded->pushToTalkKey || decoded->promptKey == decoded->editKey ||
        decoded->promptKey == decoded->pushToTalkKey) {
        std::abort();
    }
    if (decoded->formatterTimeoutMS < 250 || decoded->formatterTimeoutMS > 15000 ||
        decoded->maximumRecordingSeconds < 60 || decoded->maximumRecordingSeconds > 300) {
        std::abort();
    }
    // Saving then loading reaches a fixed point after one round (text that is not valid UTF-16
    // is repaired on the first write).
    const QByteArray saved = decoded->encode();
    const std::optional<Config> reloaded = Config::decode(saved);
    if (!reloaded || reloaded->encode() != saved) {
        std::abort();
    }
    (void)decoded->styleInstruction(decoded->locale);
    (void)decoded->formatterTimeoutCeiling(decoded->guardMinWordsForLLM);
    return 0;
}
