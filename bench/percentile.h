#pragma once

// Percentiles of benchmark samples by nearest rank, the rule the application uses for its own
// response figures: the smallest sample with at least `fraction` of all samples at or below it.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace quovant::bench {

// `fraction` in [0, 1]; 0 for no samples.
inline double percentile(std::vector<double> samples, double fraction) {
    if (samples.empty()) {
        return 0;
    }
    std::sort(samples.begin(), samples.end());
    const auto rank = static_cast<std::size_t>(std::ceil(fraction * double(samples.size())));
    return samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1];
}

} // namespace quovant::bench
