#pragma once

#include <QCoreApplication>
#include <QCoroTask>
#include <QEventLoop>
#include <QTimer>

#include <QString>
#include <QTemporaryDir>
#include <exception>

#include <optional>
#include <sys/stat.h>

namespace quovant::testing {

// A fresh data directory for one test, handed to what the test builds (a Store, say). It does
// not change QUOVANT_HOME: the process fixes its data directory on first use, and one fixed
// inside this folder would be deleted with it, breaking every later test in the order.
class TemporaryHome {
public:
    QString path() const { return m_dir.path(); }
    QString filePath(const QString& name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
};

// Runs a task on the event loop until it completes and gives its result or rethrows its failure.
// (QCoro::waitFor never returns when the awaited task throws.)
template <typename T> T run(QCoro::Task<T>&& task) {
    std::optional<T> value;
    std::exception_ptr failure;
    bool done = false;
    auto wrapper = [&]() -> QCoro::Task<void> {
        try {
            value.emplace(co_await std::move(task));
        } catch (...) {
            failure = std::current_exception();
        }
        done = true;
    };
    QCoro::Task<void> running = wrapper();
    // processEvents with a time limit never waits for events, so the loop would spin; the timer
    // wakes a real wait instead, also for a task that finishes off the event loop.
    QTimer wake;
    wake.start(50);
    while (!done) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    return std::move(*value);
}

inline void run(QCoro::Task<void>&& task) {
    auto wrapper = [&]() -> QCoro::Task<int> {
        co_await std::move(task);
        co_return 0;
    };
    run(wrapper());
}

// Points HOME and the XDG folders into `root`, so nothing a test starts (buses, sound servers,
// toolkits, settings stores) ever writes into the real home directory.
void isolateHome(const QString& root);

QByteArray readFile(const QString& path);
void writeFile(const QString& path, const QByteArray& bytes);
// Writes a script (making its folder) that only its owner may run.
void writeExecutable(const QString& path, const QByteArray& text);
// POSIX permission bits of a path (e.g. 0600), or -1 when it cannot be read.
int permissions(const QString& path);
// Sets the process's umask for its lifetime.
struct ScopedUmask {
    explicit ScopedUmask(mode_t mask) : previous(::umask(mask)) {}
    ~ScopedUmask() { ::umask(previous); }
    mode_t previous;
};

// Speaks `text` with a flite voice into a WAV file; false when flite did not run or failed.
bool speakWithFlite(const QString& voice, const QString& text, const QString& wavPath);
// Word-level edit distance: substitutions, insertions and deletions turning one into the other.
int wordErrors(const QStringList& reference, const QStringList& hypothesis);

} // namespace quovant::testing
