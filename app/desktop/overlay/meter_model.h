#pragma once

#include <QRectF>

#include <array>

namespace quovant {

// The five-bar level meter's arithmetic, free of any window: each bar's target height from the
// input level, the smoothing step taken on every redraw, and the bars' rectangles.
class MeterModel {
public:
    static constexpr int kBars = 5;
    static constexpr std::array<double, kBars> kWeights{0.45, 0.8, 1.0, 0.75, 0.4};
    static constexpr double kFloor = 0.15;
    static constexpr double kGain = 1.6;
    static constexpr double kSmoothing = 0.45;
    static constexpr double kGap = 3.0;
    static constexpr double kMinimumBarHeight = 3.0;

    // The fraction of the view height bar `bar` moves toward: weight × level × 1.6 clamped to
    // 0.15…1 while active, 0.15 while inactive. A level that is not a number counts as silence.
    static double targetFraction(int bar, double level, bool active);

    // One redraw's step: every bar moves 45 % of the way to its target.
    void step(double level, bool active);

    // Current bar heights as fractions of the view height (each starts at 0.15).
    const std::array<double, kBars>& smoothed() const { return m_smoothed; }

    // The bars for a view of the given size: width (W − 3·4) / 5, gap 3, height at least 3,
    // centred vertically. Corner radius is half the width.
    std::array<QRectF, kBars> bars(double width, double height) const;

    void reset() { m_smoothed.fill(kFloor); }

private:
    std::array<double, kBars> m_smoothed{kFloor, kFloor, kFloor, kFloor, kFloor};
};

} // namespace quovant
