#pragma once

#include <algorithm>
#include <cmath>
#include <span>

namespace quovant::AudioMetering {

// A sample is signal when it is finite and not zero (either sign).
inline bool isSignal(float sample) { return std::isfinite(sample) && sample != 0.0f; }

inline bool hasSignal(std::span<const float> samples) {
    return std::any_of(samples.begin(), samples.end(), isSignal);
}

// min(12 × RMS, 1); 0 for no samples. Non-finite samples count as zero, so one bad sample cannot
// turn the meter into NaN.
inline float level(std::span<const float> samples) {
    if (samples.empty()) {
        return 0.0f;
    }
    double sum = 0;
    for (const float sample : samples) {
        if (std::isfinite(sample)) {
            sum += double(sample) * double(sample);
        }
    }
    return static_cast<float>(std::min(12.0 * std::sqrt(sum / double(samples.size())), 1.0));
}

} // namespace quovant::AudioMetering
