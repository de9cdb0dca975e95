#pragma once

#include <QByteArray>

#include <cstdint>
#include <span>

namespace quovant {

// Mono float audio to a 16-bit PCM RIFF/WAVE image: a fixed 44-byte header and nothing else.
// Stateless and thread-safe; touches no files.
namespace WavEncoder {

// Largest sample count a header can describe: the RIFF size field (data bytes + 36) is 32-bit.
inline constexpr std::uint64_t kMaxSamples = (std::uint64_t{0xFFFFFFFF} - 36) / 2;

// Samples are clipped to -1...+1 and scaled by 32767 (NaN becomes +1). The rate is truncated to
// whole hertz. Throws std::invalid_argument for a rate outside 1...2^31-1 Hz (NaN included) or
// more than kMaxSamples samples: no header could describe them truthfully.
QByteArray encode(std::span<const float> samples, double sampleRate);

} // namespace WavEncoder
} // namespace quovant
