#include "core/quovant_error.h"
#include "core/with_timeout.h"
#include "repository/repository_context.h"
#include "support/test_support.h"

#include <QCoroTimer>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <memory>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using namespace quovant;
using quovant::testing::run;

namespace {

// What the operation saw; shared because the operation may outlive the test's caller.
struct Probe {
    bool started = false;
    bool finished = false;
    std::optional<std::stop_token> token;
    bool stopRequested() const { return token && token->stop_requested(); }
};

// Keeps the event loop running until `done` holds or a generous limit passes.
bool spinUntil(const std::function<bool()>& done, int limitMs = 5000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < limitMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 10);
    }
    return done();
}

void spinFor(int ms) {
    QElapsedTimer clock;
    clock.start();
    spinUntil([&] { return clock.elapsed() >= ms; }, ms + 1000);
}

// An operation that sleeps on the event loop, then gives `value` (or throws when asked).
auto sleeper(std::shared_ptr<Probe> probe, std::chrono::milliseconds delay, QString value,
             bool fail = false) {
    return [=](std::stop_token token) -> QCoro::Task<QString> {
        probe->started = true;
        probe->token = token;
        co_await QCoro::sleepFor(delay);
        probe->finished = true;
        if (fail) {
            throw QuovantError::formatterUnavailable(u"boom"_s);
        }
        co_return value;
    };
}

QString failureText(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const QuovantError& e) {
        return e.description();
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    }
}

} // namespace

TEST(WithTimeout, FirstResultWinsAndTheOtherSideStaysQuiet) {
    enum class Expect { value, failure, timeout };
    const struct {
        const char* name;
        std::chrono::milliseconds delay;
        qint64 deadline;
        bool fail;
        Expect expect;
    } cases[] = {
        {"value before deadline", 5ms, 150, false, Expect::value},
        {"error before deadline", 5ms, 150, true, Expect::failure},
        {"deadline before value", 250ms, 20, false, Expect::timeout},
        {"deadline before error", 250ms, 20, true, Expect::timeout},
        {"negative deadline counts as zero", 50ms, -5, false, Expect::timeout},
    };
    for (const auto& c : cases) {
        auto probe = std::make_shared<Probe>();
        int resumed = 0;
        std::optional<Outcome<QString>> seen;
        auto caller = [&]() -> QCoro::Task<void> {
            seen = co_await withTimeout(c.deadline, sleeper(probe, c.delay, u"text"_s, c.fail));
            ++resumed;
            // The deadline's verdict reaches the operation before its caller moves on.
            EXPECT_EQ(probe->stopRequested(), c.expect == Expect::timeout) << c.name;
        };
        run(caller());
        ASSERT_EQ(resumed, 1) << c.name;
        switch (c.expect) {
        case Expect::value:
            ASSERT_TRUE(seen && seen->succeeded()) << c.name;
            EXPECT_EQ(seen->value(), u"text"_s);
            break;
        case Expect::failure:
            ASSERT_TRUE(seen && !seen->succeeded()) << c.name;
            EXPECT_EQ(failureText(seen->error()), u"The formatting model is unavailable: boom"_s);
            EXPECT_THROW(seen->value(), QuovantError);
            break;
        case Expect::timeout:
            EXPECT_FALSE(seen.has_value()) << c.name;
            EXPECT_FALSE(probe->finished) << c.name;
            break;
        }
        // Let the loser run out: a late operation result and a late deadline change nothing.
        EXPECT_TRUE(spinUntil([&] { return probe->finished; })) << c.name;
        spinFor(int(std::max<qint64>(c.deadline, 0)) + 30);
        EXPECT_EQ(resumed, 1) << c.name;
        EXPECT_EQ(probe->stopRequested(), c.expect == Expect::timeout) << c.name;
    }
}

TEST(WithTimeout, AbandonedCallerDoesNotCrashWhenTheOperationEndsLater) {
    auto probe = std::make_shared<Probe>();
    int resumed = 0;
    {
        // The caller's task is dropped at once; the race must carry on safely without it.
        auto caller = [](std::shared_ptr<Probe> probe, int* resumed) -> QCoro::Task<void> {
            auto result = co_await withTimeout(10, sleeper(probe, 120ms, u"late"_s));
            EXPECT_FALSE(result.has_value());
            ++*resumed;
        };
        caller(probe, &resumed);
    }
    EXPECT_TRUE(spinUntil([&] { return resumed == 1; }));
    EXPECT_TRUE(probe->stopRequested());
    EXPECT_TRUE(spinUntil([&] { return probe->finished; }));
    spinFor(50);
    EXPECT_EQ(resumed, 1);
    EXPECT_EQ(probe.use_count(), 1) << "the finished operation was not released";
}

TEST(WithTimeout, OperationThatHonoursTheStopTokenEndsSoonAfterTheDeadline) {
    auto ended = std::make_shared<bool>(false);
    auto polls = std::make_shared<int>(0);
    auto operation = [ended, polls](std::stop_token token) -> QCoro::Task<void> {
        while (!token.stop_requested()) {
            ++*polls;
            co_await QCoro::sleepFor(5ms);
        }
        *ended = true;
    };
    QElapsedTimer clock;
    clock.start();
    const auto result = run(withTimeout(30, operation));
    EXPECT_FALSE(result.has_value());
    EXPECT_TRUE(spinUntil([&] { return *ended; }, 2000));
    EXPECT_LT(clock.elapsed(), 1500);
    EXPECT_GT(*polls, 1);
}

TEST(WithTimeout, OperationsThatEndWithoutSuspending) {
    // A plain function that throws before giving a task.
    const auto thrown =
        run(withTimeout(100, []() -> QCoro::Task<int> { throw std::runtime_error("refused"); }));
    ASSERT_TRUE(thrown && !thrown->succeeded());
    EXPECT_EQ(failureText(thrown->error()), u"refused"_s);

    // A coroutine that finishes at once, even with a deadline of zero.
    const auto immediate = run(withTimeout(0, []() -> QCoro::Task<int> { co_return 7; }));
    ASSERT_TRUE(immediate && immediate->succeeded());
    EXPECT_EQ(immediate->value(), 7);
}

TEST(WithTimeout, CarriesVoidAndOptionalValues) {
    bool ran = false;
    const auto done = run(withTimeout(200, [&ran]() -> QCoro::Task<void> {
        co_await QCoro::sleepFor(1ms);
        ran = true;
    }));
    ASSERT_TRUE(done && done->succeeded());
    EXPECT_NO_THROW(done->value());
    EXPECT_TRUE(ran);

    RepositoryContext context;
    context.rootPath = u"/src/quovant"_s;
    context.name = u"quovant"_s;
    const auto found =
        run(withTimeout(200, [context]() -> QCoro::Task<std::optional<RepositoryContext>> {
            co_await QCoro::sleepFor(1ms);
            co_return context;
        }));
    ASSERT_TRUE(found && found->succeeded());
    EXPECT_EQ(found->value(), context);

    const auto none = run(withTimeout(
        200, []() -> QCoro::Task<std::optional<RepositoryContext>> { co_return std::nullopt; }));
    ASSERT_TRUE(none && none->succeeded());
    EXPECT_EQ(none->value(), std::nullopt);
}

TEST(WithTimeout, ManyOverlappingRacesEachResolveOnce) {
    constexpr int kRaces = 40;
    std::vector<int> resumed(kRaces, 0);
    std::vector<std::optional<Outcome<QString>>> results(kRaces);
    auto finished = std::make_shared<int>(0);
    for (int i = 0; i < kRaces; ++i) {
        // Even races finish well before their deadline, odd ones well after.
        const auto delay = std::chrono::milliseconds(i % 2 == 0 ? 2 : 80);
        auto caller = [](int i, std::chrono::milliseconds delay, std::shared_ptr<int> finished,
                         int* resumed,
                         std::optional<Outcome<QString>>* result) -> QCoro::Task<void> {
            auto operation = [i, delay, finished]() -> QCoro::Task<QString> {
                co_await QCoro::sleepFor(delay);
                ++*finished;
                co_return QString::number(i);
            };
            *result = co_await withTimeout(40, std::move(operation));
            ++*resumed;
        };
        caller(i, delay, finished, &resumed[i], &results[i]);
    }
    EXPECT_TRUE(spinUntil([&] { return *finished == kRaces; }));
    spinFor(20);
    for (int i = 0; i < kRaces; ++i) {
        EXPECT_EQ(resumed[i], 1) << i;
        if (i % 2 == 0) {
            ASSERT_TRUE(results[i].has_value()) << i;
            EXPECT_EQ(results[i]->value(), QString::number(i));
        } else {
            EXPECT_FALSE(results[i].has_value()) << i;
        }
    }
}
