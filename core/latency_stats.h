#pragma once

#include <QtGlobal>

#include <mutex>
#include <optional>
#include <vector>

namespace quovant {

// A rolling window of the newest response times (milliseconds). Shared between the pipeline and
// the menu; every member is thread-safe.
class LatencyStats {
public:
    static constexpr std::size_t kLimit = 200;

    void record(qint64 milliseconds);
    // Nearest-rank percentile (p in percent); absent while there are no samples.
    std::optional<qint64> percentile(double p) const;
    // Oldest first.
    std::vector<qint64> samples() const;

private:
    mutable std::mutex m_lock;
    std::vector<qint64> m_samples;
};

} // namespace quovant
