#include "app/verify.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

using quovant::Verify::resample;
using Samples = std::vector<float>;

namespace {

Samples tone(double frequency, double rate, double seconds) {
    Samples samples(std::size_t(rate * seconds));
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = float(0.5 * std::sin(2 * std::numbers::pi * frequency * double(i) / rate));
    return samples;
}

// Root mean square away from both ends, where the filter starts and stops.
double innerLevel(const Samples& samples) {
    double sum = 0;
    const std::size_t margin = samples.size() / 10;
    for (std::size_t i = margin; i + margin < samples.size(); ++i)
        sum += double(samples[i]) * samples[i];
    return std::sqrt(sum / double(samples.size() - 2 * margin));
}

TEST(Resample, KeepsWhatTheRecogniserHearsAndFoldsNothingBack) {
    const double level = 0.5 / std::sqrt(2.0);
    for (const double from : {8000.0, 22050.0, 44100.0, 48000.0}) {
        // A tone both rates can carry comes through at its level and at the right place.
        const Samples low = resample(tone(1000, from, 1.0), from, 16000);
        ASSERT_EQ(low.size(), 16000U) << from;
        EXPECT_NEAR(innerLevel(low), level, 0.01 * level) << from;
        Samples difference = low;
        const Samples expected = tone(1000, 16000, 1.0);
        for (std::size_t i = 0; i < low.size(); ++i)
            difference[i] -= expected[i];
        EXPECT_LT(innerLevel(difference), 0.02) << from;
    }
    // Above the new Nyquist frequency a tone is removed, not folded into the speech band (a
    // linear interpolator turns 10 kHz at 48 kHz into a loud 6 kHz).
    for (const double from : {44100.0, 48000.0})
        EXPECT_LT(innerLevel(resample(tone(10000, from, 1.0), from, 16000)), 0.01 * level) << from;
}

TEST(Resample, TruncatesTheLengthAndGivesBadRatesOrEmptyInputBack) {
    const Samples input{0.1F, 0.2F, 0.3F};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    const std::pair<double, double> rates[] = {{0, 16000},   {16000, 0},   {-8000, 16000},
                                               {16000, -1},  {nan, 16000}, {16000, nan},
                                               {infinity, 1}, {16000, 16000}};
    for (const auto& [from, to] : rates)
        EXPECT_EQ(resample(input, from, to), input) << from << " -> " << to;
    EXPECT_TRUE(resample({}, 48000, 16000).empty());
    EXPECT_TRUE(resample({0.7F}, 16000, 8000).empty());
    EXPECT_EQ(resample(Samples(4801, 0.25F), 48000, 16000).size(), 1600U);
    EXPECT_EQ(resample(Samples(10, 0.25F), 3, 2).size(), 6U);
}

} // namespace
