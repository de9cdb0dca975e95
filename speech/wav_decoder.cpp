#include "speech/wav_decoder.h"

#include <QtEndian>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>

using namespace Qt::StringLiterals;

namespace quovant::WavDecoder {

DecodeError::DecodeError(Kind kind, QString detail)
    : m_kind(kind), m_detail(std::move(detail)), m_what(description().toUtf8()) {}

QString DecodeError::description() const {
    switch (m_kind) {
    case Kind::unsupported:
        return u"unsupported WAV: "_s + m_detail;
    case Kind::tooShort:
        return u"file is too short to be a WAV"_s;
    case Kind::notRIFF:
        return u"missing RIFF header"_s;
    case Kind::notWAVE:
        return u"not a WAVE file"_s;
    case Kind::noFmtChunk:
        return u"no fmt chunk"_s;
    case Kind::noDataChunk:
        return u"no data chunk"_s;
    }
    return {};
}

namespace {

// Offsets are 64-bit whatever the platform: a chunk size near 4 GiB added to an offset must not
// wrap around on a 32-bit build and send the walk backwards.
using Offset = std::uint64_t;

bool hasTag(const char* at, const char (&tag)[5]) {
    return std::memcmp(at, tag, 4) == 0;
}

std::uint16_t u16(const char* at) {
    return qFromLittleEndian<std::uint16_t>(at);
}
std::uint32_t u32(const char* at) {
    return qFromLittleEndian<std::uint32_t>(at);
}
std::int16_t s16(const char* at) {
    return qFromLittleEndian<std::int16_t>(at);
}

struct Format {
    std::uint16_t channels = 0;
    double sampleRate = 0;
    std::uint16_t bitsPerSample = 0;
};

std::vector<float> mixDown(const char* pcm, Offset byteCount, unsigned channels) {
    constexpr float kScale = 1.0f / 32768.0f;
    const Offset frames = byteCount / 2 / channels;
    std::vector<float> samples(static_cast<std::size_t>(frames));
    float* out = samples.data();
    if (channels == 1) {
        for (Offset i = 0; i < frames; ++i) {
            out[i] = float(s16(pcm + 2 * i)) * kScale;
        }
        return samples;
    }
    const float divisor = float(channels);
    const Offset frameBytes = Offset{2} * channels;
    for (Offset i = 0; i < frames; ++i) {
        const char* frame = pcm + i * frameBytes;
        float sum = 0;
        for (unsigned c = 0; c < channels; ++c) {
            sum += float(s16(frame + 2 * c)) * kScale;
        }
        out[i] = sum / divisor;
    }
    return samples;
}

} // namespace

Decoded decode(QByteArrayView bytes) {
    const char* data = bytes.data();
    const auto length = static_cast<Offset>(bytes.size());
    // A bare 44-byte header holds no sample at all.
    if (length < 45) {
        throw DecodeError(DecodeError::Kind::tooShort);
    }
    if (!hasTag(data, "RIFF")) {
        throw DecodeError(DecodeError::Kind::notRIFF);
    }
    if (!hasTag(data + 8, "WAVE")) {
        throw DecodeError(DecodeError::Kind::notWAVE);
    }

    std::optional<Format> format;
    const char* pcm = nullptr;
    Offset pcmBytes = 0;
    bool sawData = false;
    for (Offset p = 12; p + 8 <= length;) {
        const char* chunk = data + p;
        const Offset size = u32(chunk + 4);
        if (hasTag(chunk, "fmt ")) {
            if (p + 24 > length) {
                throw DecodeError(DecodeError::Kind::noFmtChunk);
            }
            const std::uint16_t code = u16(chunk + 8);
            if (code != 1) {
                throw DecodeError::unsupported(u"format "_s + QString::number(code) +
                                               u" is not PCM"_s);
            }
            format = Format{u16(chunk + 10), double(u32(chunk + 12)), u16(chunk + 22)};
        } else if (hasTag(chunk, "data")) {
            // A size running past the end is cut to what is there (an interrupted recording).
            pcm = chunk + 8;
            pcmBytes = std::min(length, p + 8 + size) - (p + 8);
            sawData = true;
        }
        p += 8 + size + (size & 1);
    }

    if (!format) {
        throw DecodeError(DecodeError::Kind::noFmtChunk);
    }
    if (!sawData) {
        throw DecodeError(DecodeError::Kind::noDataChunk);
    }
    if (format->bitsPerSample != 16) {
        throw DecodeError::unsupported(QString::number(format->bitsPerSample) +
                                       u"-bit samples (only 16-bit supported)"_s);
    }
    const unsigned channels = std::max<unsigned>(format->channels, 1);
    return Decoded{mixDown(pcm, pcmBytes, channels), format->sampleRate};
}

} // namespace quovant::WavDecoder
