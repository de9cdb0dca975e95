#pragma once

#include <QCoroTask>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <coroutine>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <type_traits>
#include <utility>
#include <variant>

namespace quovant {

// How an operation ended: with its value (nothing for void) or with the exception it threw.
template <typename T> class Outcome {
public:
    using Value = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

    static Outcome success() requires std::is_void_v<T> { return Outcome(std::monostate{}); }
    static Outcome success(Value value) requires(!std::is_void_v<T>) {
        return Outcome(std::move(value));
    }
    static Outcome failure(std::exception_ptr error) { return Outcome(std::move(error)); }

    bool succeeded() const { return m_state.index() == 0; }
    // Null after a success.
    std::exception_ptr error() const {
        return succeeded() ? nullptr : std::get<std::exception_ptr>(m_state);
    }
    // The value, or the operation's exception rethrown.
    decltype(auto) value() const& {
        rethrowFailure();
        if constexpr (!std::is_void_v<T>) {
            return static_cast<const T&>(std::get<0>(m_state));
        }
    }
    decltype(auto) value() && {
        rethrowFailure();
        if constexpr (!std::is_void_v<T>) {
            return T(std::move(std::get<0>(m_state)));
        }
    }

private:
    explicit Outcome(Value value) : m_state(std::in_place_index<0>, std::move(value)) {}
    explicit Outcome(std::exception_ptr error)
        : m_state(std::in_place_index<1>, std::move(error)) {}

    void rethrowFailure() const {
        if (!succeeded()) {
            std::rethrow_exception(std::get<std::exception_ptr>(m_state));
        }
    }

    std::variant<Value, std::exception_ptr> m_state;
};

namespace detail {

// The meeting point of the operation and the deadline: whichever resolves first is delivered to
// the waiting caller, exactly once; the other one's result is dropped.
template <typename T> class TimeoutResolution {
public:
    using Result = std::optional<Outcome<T>>;

    // True when this call delivered the result. Losing the race to the deadline (an absent
    // result) asks the operation to stop.
    bool resolve(Result result) {
        std::coroutine_handle<> caller;
        const bool timedOut = !result.has_value();
        {
            std::lock_guard guard(m_lock);
            if (m_resolved) {
                return false;
            }
            m_resolved = true;
            m_result = std::move(result);
            caller = std::exchange(m_caller, {});
        }
        if (timedOut) {
            m_stop.request_stop();
        }
        // Outside the lock: the caller may run on and even start another race from here.
        if (caller) {
            caller.resume();
        }
        return true;
    }

    std::stop_token stopToken() const { return m_stop.get_token(); }

    // Parks the caller; false when a result is already there and it should simply go on.
    bool park(std::coroutine_handle<> caller) {
        std::lock_guard guard(m_lock);
        if (m_resolved) {
            return false;
        }
        m_caller = caller;
        return true;
    }
    Result take() {
        std::lock_guard guard(m_lock);
        return std::move(m_result);
    }

private:
    std::mutex m_lock;
    bool m_resolved = false;
    Result m_result;
    std::coroutine_handle<> m_caller;
    std::stop_source m_stop;
};

template <typename T> struct ResolutionAwaiter {
    std::shared_ptr<TimeoutResolution<T>> resolution;

    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<> caller) { return resolution->park(caller); }
    typename TimeoutResolution<T>::Result await_resume() { return resolution->take(); }
};

template <typename Operation> auto startOperation(Operation& operation, std::stop_token token) {
    if constexpr (std::is_invocable_v<Operation&, std::stop_token>) {
        return operation(std::move(token));
    } else {
        return operation();
    }
}

template <typename Operation>
using OperationValue =
    typename decltype(startOperation(std::declval<Operation&>(), std::stop_token{}))::value_type;

// Runs detached: the task object is dropped at once and the frame frees itself when the
// operation ends, however late. The operation is kept in this frame so that a coroutine lambda's
// captures outlive its body.
template <typename T, typename Operation>
QCoro::Task<void> runOperation(std::shared_ptr<TimeoutResolution<T>> resolution,
                               Operation operation) {
    std::optional<Outcome<T>> outcome;
    try {
        // Named rather than temporary: g++ 12 can destroy temporaries of a co_await
        // full-expression twice.
        auto task = startOperation(operation, resolution->stopToken());
        if constexpr (std::is_void_v<T>) {
            co_await task;
            outcome = Outcome<T>::success();
        } else {
            auto value = co_await task;
            outcome = Outcome<T>::success(std::move(value));
        }
    } catch (...) {
        outcome = Outcome<T>::failure(std::current_exception());
    }
    resolution->resolve(std::move(outcome));
}

} // namespace detail

// Races `operation` against a deadline of `milliseconds` (negative counts as 0) on the calling
// thread's event loop, without blocking it. Gives the operation's outcome (value or exception)
// when it ends first, and nothing when the deadline passes first; never throws itself and
// resumes its caller exactly once.
//
// `operation` is a callable giving a QCoro::Task<T>, invoked at once, with either no argument or
// a std::stop_token. Cancellation is cooperative: when the deadline wins, the token is asked to
// stop (before the caller resumes) and the operation keeps running until it ends on its own; an
// operation that can abort early (a network reply, a child process) checks the token between
// steps or registers a std::stop_callback. Whatever it produces afterwards is dropped. The
// operation may outlive the caller, so it must capture by value.
//
// g++ 12 destroys the captures of a lambda written inside a co_await expression twice, so name
// the lambda first: `auto op = [..](std::stop_token) -> QCoro::Task<T> {..};
// auto result = co_await withTimeout(ms, std::move(op));`.
//
// Call from a thread with a running Qt event loop (the main thread); the operation must finish
// on that same thread, as every QCoro awaitable does.
template <typename Operation>
QCoro::Task<std::optional<Outcome<detail::OperationValue<Operation>>>>
withTimeout(qint64 milliseconds, Operation operation) {
    using T = detail::OperationValue<Operation>;
    auto resolution = std::make_shared<detail::TimeoutResolution<T>>();
    detail::runOperation<T>(resolution, std::move(operation));

    // Lives in this frame: once the caller has its result the deadline is gone with it.
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    QObject::connect(&deadline, &QTimer::timeout, &deadline,
                     [resolution] { resolution->resolve(std::nullopt); });
    deadline.start(std::chrono::milliseconds(std::max<qint64>(milliseconds, 0)));

    detail::ResolutionAwaiter<T> awaiter{resolution};
    auto result = co_await awaiter;
    co_return result;
}

} // namespace quovant
