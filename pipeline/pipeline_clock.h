#pragma once

#include "core/with_timeout.h"

#include <QtGlobal>

#include <functional>
#include <memory>

namespace quovant {

// A pending one-shot timer; dropping it before it fires cancels it.
class PipelineTimer {
public:
    virtual ~PipelineTimer() = default;
};

// Where the pipeline reads the time and schedules its timers, so that tests can run the life
// cycle in virtual time. Main thread only.
class PipelineClock {
public:
    virtual ~PipelineClock() = default;

    // Monotonic milliseconds; only differences mean anything.
    virtual qint64 nowMS() const = 0;
    // Calls `fire` once on the main thread after `milliseconds` (negative counts as 0), unless
    // the returned timer is dropped first.
    virtual std::unique_ptr<PipelineTimer> schedule(qint64 milliseconds,
                                                    std::function<void()> fire) = 0;

    // The event loop's own clock and timers.
    static std::shared_ptr<PipelineClock> system();
};

// `withTimeout` with the deadline taken from `clock`: the operation's outcome when it ends
// first, nothing when the deadline passes first. Same contract otherwise, including the
// cooperative stop token and dropping a late result.
template <typename Operation>
QCoro::Task<std::optional<Outcome<detail::OperationValue<Operation>>>>
withDeadline(std::shared_ptr<PipelineClock> clock, qint64 milliseconds, Operation operation) {
    using T = detail::OperationValue<Operation>;
    auto resolution = std::make_shared<detail::TimeoutResolution<T>>();
    detail::runOperation<T>(resolution, std::move(operation));
    // Lives in this frame: once the caller has its result the deadline is gone with it.
    std::unique_ptr<PipelineTimer> deadline =
        clock->schedule(milliseconds, [resolution] { resolution->resolve(std::nullopt); });
    detail::ResolutionAwaiter<T> awaiter{resolution};
    auto result = co_await awaiter;
    co_return result;
}

} // namespace quovant
