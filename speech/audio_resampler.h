#pragma once

#include <vector>

namespace quovant {

// Sample-rate conversion of whole recordings with libsoxr at high quality (band-limited, so a
// 44.1 or 48 kHz file loses nothing the recogniser hears and folds no alias into it). Pure; any
// thread.
namespace AudioResampler {

// `samples` at `from` Hz as `to` Hz: about count × to / from samples (truncated). Rates that are
// not positive or not finite, equal rates and empty input give the input back unchanged. Throws
// std::length_error when the output could not be held in memory.
std::vector<float> convert(const std::vector<float>& samples, double from, double to);

} // namespace AudioResampler
} // namespace quovant
