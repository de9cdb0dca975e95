#include "speech/wav_encoder.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace quovant::WavEncoder {

namespace {

constexpr qsizetype kHeaderSize = 44;

void putTag(char* at, const char (&tag)[5]) {
    std::memcpy(at, tag, 4);
}

inline std::int16_t quantize(float sample) {
    // The comparison is false for NaN, which therefore lands on full scale like any s >= 1.
    const float scaled = sample < 1.0f ? std::max(sample, -1.0f) * 32767.0f : 32767.0f;
    return static_cast<std::int16_t>(scaled);
}

} // namespace

QByteArray encode(std::span<const float> samples, double sampleRate) {
    if (!(sampleRate >= 1.0 && sampleRate < 2147483648.0)) {
        throw std::invalid_argument("WavEncoder::encode: sample rate " +
                                    std::to_string(sampleRate) + " Hz is outside 1...2^31-1");
    }
    if (samples.size() > kMaxSamples) {
        throw std::invalid_argument("WavEncoder::encode: " + std::to_string(samples.size()) +
                                    " samples do not fit a WAV header");
    }
    const auto rate = static_cast<std::uint32_t>(sampleRate);
    const auto dataSize = static_cast<std::uint32_t>(samples.size() * 2);

    QByteArray bytes(kHeaderSize + qsizetype(dataSize), Qt::Uninitialized);
    char* out = bytes.data();
    putTag(out, "RIFF");
    qToLittleEndian<std::uint32_t>(dataSize + 36, out + 4);
    putTag(out + 8, "WAVE");
    putTag(out + 12, "fmt ");
    qToLittleEndian<std::uint32_t>(16, out + 16);
    qToLittleEndian<std::uint16_t>(1, out + 20);
    qToLittleEndian<std::uint16_t>(1, out + 22);
    qToLittleEndian<std::uint32_t>(rate, out + 24);
    qToLittleEndian<std::uint32_t>(rate * 2, out + 28);
    qToLittleEndian<std::uint16_t>(2, out + 32);
    qToLittleEndian<std::uint16_t>(16, out + 34);
    putTag(out + 36, "data");
    qToLittleEndian<std::uint32_t>(dataSize, out + 40);

    char* pcm = out + kHeaderSize;
    for (const float sample : samples) {
        qToLittleEndian<std::int16_t>(quantize(sample), pcm);
        pcm += 2;
    }
    return bytes;
}

} // namespace quovant::WavEncoder
