#include "app/desktop/overlay/meter_model.h"

#include <algorithm>
#include <cmath>

namespace quovant {

double MeterModel::targetFraction(int bar, double level, bool active) {
    if (!active || bar < 0 || bar >= kBars || !std::isfinite(level)) {
        return kFloor;
    }
    return std::clamp(kWeights[static_cast<std::size_t>(bar)] * level * kGain, kFloor, 1.0);
}

void MeterModel::step(double level, bool active) {
    for (int i = 0; i < kBars; ++i) {
        double& bar = m_smoothed[static_cast<std::size_t>(i)];
        bar += (targetFraction(i, level, active) - bar) * kSmoothing;
    }
}

std::array<QRectF, MeterModel::kBars> MeterModel::bars(double width, double height) const {
    std::array<QRectF, kBars> rects;
    const double barWidth = (width - kGap * (kBars - 1)) / kBars;
    for (int i = 0; i < kBars; ++i) {
        const double h = std::max(height * m_smoothed[static_cast<std::size_t>(i)],
                                  kMinimumBarHeight);
        rects[static_cast<std::size_t>(i)] =
            QRectF((barWidth + kGap) * i, (height - h) / 2, barWidth, h);
    }
    return rects;
}

} // namespace quovant
