#include "core/latency_stats.h"
#include "core/timings.h"

#include <gtest/gtest.h>

#include <thread>

using namespace Qt::StringLiterals;
using quovant::LatencyStats;
using quovant::Timings;

TEST(Timings, SummaryTotalsEverythingButTheRecording) {
    const struct {
        Timings timings;
        QString summary;
    } cases[] = {
        {{}, u"asr 0ms · fmt 0ms · inject 0ms · total 0ms"_s},
        {{.recordingMS = 900, .asrMS = 1, .contextMS = 0, .formatMS = 2, .injectMS = 3},
         u"asr 1ms · fmt 2ms · inject 3ms · total 6ms"_s},
        {{.recordingMS = 5, .asrMS = 120, .contextMS = 40, .formatMS = 800, .injectMS = 15},
         u"asr 120ms · fmt 800ms · inject 15ms · total 975ms"_s},
        {{.asrMS = 5000000000, .formatMS = -1},
         u"asr 5000000000ms · fmt -1ms · inject 0ms · total 4999999999ms"_s},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.timings.summary(), c.summary);
    }
    // The separator is a middle dot, not a period or a bullet.
    EXPECT_TRUE(Timings{}.summary().contains(QChar(0x00B7)));
}

TEST(LatencyStats, NearestRankPercentiles) {
    const struct {
        std::vector<qint64> samples;
        double p;
        std::optional<qint64> expected;
    } cases[] = {
        {{}, 50, std::nullopt},
        {{400, 100, 300, 200}, 50, 200},
        {{400, 100, 300, 200}, 90, 400},
        {{400, 100, 300, 200}, 99, 400},
        {{400, 100, 300, 200}, 25, 100},
        {{400, 100, 300, 200}, 0, 100},
        {{400, 100, 300, 200}, 150, 400},
        {{400, 100, 300, 200}, -10, 100},
        {{400, 100, 300, 200}, std::numeric_limits<double>::quiet_NaN(), 100},
        {{42}, 1, 42},
        {{42}, 50, 42},
        {{42}, 100, 42},
    };
    for (const auto& c : cases) {
        LatencyStats stats;
        for (const qint64 sample : c.samples) {
            stats.record(sample);
        }
        EXPECT_EQ(stats.percentile(c.p), c.expected) << c.p << " of " << c.samples.size();
    }
}

TEST(LatencyStats, WholePercentagesGiveExactRanks) {
    LatencyStats stats;
    for (qint64 ms = 1; ms <= 100; ++ms) {
        stats.record(ms);
    }
    for (int p = 1; p <= 100; ++p) {
        EXPECT_EQ(stats.percentile(p), qint64(p)) << p;
    }
}

TEST(LatencyStats, KeepsTheNewestTwoHundred) {
    LatencyStats stats;
    for (qint64 ms = 1; ms <= 201; ++ms) {
        stats.record(ms);
    }
    auto samples = stats.samples();
    ASSERT_EQ(samples.size(), 200u);
    EXPECT_EQ(samples.front(), 2);
    EXPECT_EQ(samples.back(), 201);

    for (qint64 ms = 1000; ms < 1450; ++ms) {
        stats.record(ms);
    }
    samples = stats.samples();
    ASSERT_EQ(samples.size(), 200u);
    EXPECT_EQ(samples.front(), 1250);
    EXPECT_EQ(samples.back(), 1449);
    EXPECT_EQ(stats.percentile(0), 1250);
}

TEST(LatencyStats, ConcurrentWritersAndReadersLoseNothing) {
    LatencyStats stats;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&stats, t] {
            for (int i = 0; i < 1000; ++i) {
                stats.record(t * 1000 + i);
                (void)stats.percentile(90);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const auto samples = stats.samples();
    EXPECT_EQ(samples.size(), 200u);
    // Each writer's samples stay in its own order within the window.
    std::array<qint64, 4> last = {-1, -1, -1, -1};
    for (const qint64 sample : samples) {
        const auto writer = std::size_t(sample / 1000);
        EXPECT_GT(sample, last[writer]);
        last[writer] = sample;
    }
}
