#pragma once

// Waiting in tests: on a condition, with a limit generous enough for a busy machine, serving the
// main thread's events meanwhile (peers and the code under test may answer through them).

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QString>
#include <QThread>

#include <functional>
#include <optional>

namespace quovant::testing {

// True as soon as `done` holds; false when `timeoutMs` passed first.
inline bool waitUntil(const std::function<bool()>& done, int timeoutMs = 30000) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

// Serves events for `ms` milliseconds, to show that nothing more arrives.
inline void settle(int ms) {
    waitUntil([] { return false; }, ms);
}

// Sets an environment variable, or removes it when given nothing, and puts the old value back.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::optional<QString>& value) : m_name(name) {
        if (qEnvironmentVariableIsSet(name)) {
            m_previous = qgetenv(name);
        }
        value ? qputenv(name, value->toUtf8()) : qunsetenv(name);
    }
    ~ScopedEnvironment() { m_previous ? qputenv(m_name, *m_previous) : qunsetenv(m_name); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* m_name;
    std::optional<QByteArray> m_previous;
};

} // namespace quovant::testing
