// Arbitrary bytes as a WAV file: decoding must end in samples or a DecodeError, the samples must
// be the file's own (bounded by its size, within full scale), and re-encoding them must hold.
#include "speech/wav_decoder.h"
#include "speech/wav_encoder.h"

#include <QByteArray>

#include <cmath>
#include <cstdint>
#include <cstdlib>

using namespace quovant;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    WavDecoder::Decoded decoded;
    try {
        decoded = WavDecoder::decode(bytes);
    } catch (const WavDecoder::DecodeError& error) {
        if (error.description().isEmpty()) {
            std::abort();
        }
        return 0;
    }
    if (decoded.samples.size() > size / 2) {
        std::abort();
    }
    for (const float sample : decoded.samples) {
        if (!(sample >= -1.0f && sample < 1.0f)) {
            std::abort();
        }
    }
    if (decoded.sampleRate < 0 || decoded.sampleRate > 4294967295.0 ||
        decoded.sampleRate != std::floor(decoded.sampleRate)) {
        std::abort();
    }
    // An empty recording encodes to a bare header, which the decoder refuses as too short.
    if (!decoded.samples.empty() && decoded.sampleRate >= 1 && decoded.sampleRate < 2147483648.0) {
        const auto again =
            WavDecoder::decode(WavEncoder::encode(decoded.samples, decoded.sampleRate));
        if (again.samples.size() != decoded.samples.size() ||
            again.sampleRate != decoded.sampleRate) {
            std::abort();
        }
    }
    return 0;
}
