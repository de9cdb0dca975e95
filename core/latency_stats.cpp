#include "core/latency_stats.h"

#include <algorithm>
#include <cmath>

namespace quovant {

void LatencyStats::record(qint64 milliseconds) {
    std::lock_guard guard(m_lock);
    if (m_samples.size() >= kLimit) {
        m_samples.erase(m_samples.begin(), m_samples.end() - (kLimit - 1));
    }
    m_samples.push_back(milliseconds);
}

std::optional<qint64> LatencyStats::percentile(double p) const {
    std::vector<qint64> sorted;
    {
        std::lock_guard guard(m_lock);
        if (m_samples.empty()) {
            return std::nullopt;
        }
        sorted = m_samples;
    }
    std::sort(sorted.begin(), sorted.end());
    const auto count = double(sorted.size());
    // p × count is exact for whole percentages, so 7% of 100 samples is rank 7, not 8.
    const double rank = std::ceil(p * count / 100.0);
    // Written so that NaN lands on the first rank instead of an undefined conversion.
    std::size_t index = 0;
    if (rank >= count) {
        index = sorted.size() - 1;
    } else if (rank >= 1) {
        index = std::size_t(rank) - 1;
    }
    return sorted[index];
}

std::vector<qint64> LatencyStats::samples() const {
    std::lock_guard guard(m_lock);
    return m_samples;
}

} // namespace quovant
