#include "app/verify.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

using quovant::Verify::resample;
using Samples = std::vector<float>;

namespace {

struct Case {
    const char* name;
    Samples input;
    double from;
    double to;
    Samples expected;
};

TEST(Resample, InterpolatesLinearlyAndTruncatesTheLength) {
    const Case cases[] = {
        {"doubling repeats the last sample", {0, 1, 2}, 8000, 16000, {0, 0.5F, 1, 1.5F, 2, 2}},
        {"a third keeps every third sample", {0, 1, 2, 3, 4, 5, 6, 7, 8}, 48000, 16000, {0, 3, 6}},
        {"two thirds truncates 3.33 to 3", {0, 1, 2, 3, 4}, 3, 2, {0, 1.5F, 3}},
        {"the same rate copies", {0.25F, -0.5F}, 16000, 16000, {0.25F, -0.5F}},
        {"half of one sample is nothing", {0.7F}, 16000, 8000, {}},
        {"weights follow the position", {0, 1}, 1, 4, {0, 0.25F, 0.5F, 0.75F, 1, 1, 1, 1}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(resample(c.input, c.from, c.to), c.expected) << c.name;
    }
}

TEST(Resample, GivesTheInputBackForEmptyInputOrRatesThatAreNotPositive) {
    const Samples input{0.1F, 0.2F, 0.3F};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::pair<double, double> rates[] = {{0, 16000},  {16000, 0},   {-8000, 16000},
                                               {16000, -1}, {nan, 16000}, {16000, nan}};
    for (const auto& [from, to] : rates) {
        EXPECT_EQ(resample(input, from, to), input) << from << " -> " << to;
    }
    EXPECT_TRUE(resample({}, 48000, 16000).empty());
}

TEST(Resample, StaysWithinTheInputForAnyRatePair) {
    // Every output is a blend of two neighbouring inputs, so it can never leave their range; a
    // read past the end would show up here (and under the sanitizers).
    std::mt19937 random(7);
    std::uniform_real_distribution<float> sample(-1, 1);
    const double rates[] = {8000, 11025, 44100, 48000, 7999.5};
    for (const double from : rates) {
        for (const double to : rates) {
            for (const std::size_t size : {1U, 3U, 4801U}) {
                Samples input(size);
                std::generate(input.begin(), input.end(), [&] { return sample(random); });
                const Samples output = resample(input, from, to);
                const auto expectedSize = std::size_t(to / from * double(size));
                ASSERT_EQ(output.size(), expectedSize) << from << " -> " << to << " x" << size;
                const auto [low, high] = std::minmax_element(input.begin(), input.end());
                for (const float value : output) {
                    ASSERT_GE(value, *low - 1e-6F);
                    ASSERT_LE(value, *high + 1e-6F);
                }
                if (!output.empty()) {
                    EXPECT_EQ(output.front(), input.front());
                }
            }
        }
    }
}

} // namespace
