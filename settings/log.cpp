#include "settings/log.h"

#include "core/unicode_text.h"
#include "settings/paths.h"
#include "settings/rotating_log_writer.h"

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace Qt::StringLiterals;

namespace quovant::Log {

namespace {

constexpr qsizetype kMaximumMessageCharacters = 4096;
constexpr qint64 kMaximumFileBytes = 2 * 1024 * 1024;
constexpr qint64 kBackupCount = 2;

using Clock = std::chrono::system_clock;

struct Entry {
    Clock::time_point time;
    QString level;
    QString message;
};

bool isLineBreak(QChar c) {
    const char16_t u = c.unicode();
    return (u >= 0x0A && u <= 0x0D) || u == 0x85 || u == 0x2028 || u == 0x2029;
}

// Deliberately leaked: lines logged while static objects are being destroyed still need it.
const unicode::Regex& lineBreakRun() {
    // Equivalent to \s*\R+\s*; the look-behind lets a match start only where a run of white
    // space starts, which keeps long blank runs linear instead of quadratic.
    static const unicode::Regex& k = *new unicode::Regex(u"(?<!\\s)\\s*\\R+\\s*"_s);
    return k;
}

QTime localTime(Clock::time_point time) {
    const std::time_t seconds = Clock::to_time_t(time);
    std::tm parts{};
    ::localtime_r(&seconds, &parts);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count() %
        1000;
    return QTime(parts.tm_hour, parts.tm_min, std::min(parts.tm_sec, 59),
                 static_cast<int>(millis < 0 ? millis + 1000 : millis));
}

void writeToStandardError(const QByteArray& bytes) {
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(STDERR_FILENO, data, static_cast<size_t>(left));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        data += written;
        left -= written;
    }
}

// The single writer: callers only append to the queue; one thread formats and writes in order.
// It is never destroyed; at process exit it drains the queue and its thread is joined, and any
// line logged after that is written on the caller's thread.
class Writer {
public:
    static Writer& instance() {
        static Writer* const kWriter = new Writer();
        return *kWriter;
    }

    void enqueue(Entry entry) {
        std::unique_lock lock(m_mutex);
        if (m_stopped) {
            // The thread is gone; the lock keeps such late lines whole.
            writeEntry(entry);
            return;
        }
        m_queue.push_back(std::move(entry));
        ++m_enqueued;
        // Waking costs a system call; a busy writer will find the line by itself.
        if (m_writerIdle) {
            m_writerIdle = false;
            lock.unlock();
            m_wake.notify_one();
        }
    }

    void flush() {
        std::unique_lock lock(m_mutex);
        const quint64 target = m_enqueued;
        m_drained.wait(lock, [&] { return m_written >= target || m_stopped; });
    }

private:
    Writer() : m_file(Paths::root() + u"/quovant.log"_s, kMaximumFileBytes, kBackupCount) {
        lineBreakRun();
        m_thread = std::thread([this] { run(); });
        // Registered after everything the writer uses exists, so it runs before their teardown.
        std::atexit([] { instance().stop(); });
    }

    void stop() {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_one();
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

    void run() {
        // A closed pipe on standard error must not kill the process from this thread.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

        std::vector<Entry> batch;
        std::unique_lock lock(m_mutex);
        for (;;) {
            if (m_queue.empty()) {
                if (m_stopping) {
                    m_stopped = true;
                    m_drained.notify_all();
                    return;
                }
                m_writerIdle = true;
                m_wake.wait(lock, [&] { return !m_queue.empty() || m_stopping; });
                m_writerIdle = false;
                continue;
            }
            batch.assign(std::make_move_iterator(m_queue.begin()),
                         std::make_move_iterator(m_queue.end()));
            m_queue.clear();
            lock.unlock();
            QList<QByteArray> lines;
            lines.reserve(static_cast<qsizetype>(batch.size()));
            for (const Entry& entry : batch) {
                lines.append(formatLine(localTime(entry.time), entry.level, entry.message));
            }
            writeToStandardError(lines.join());
            m_file.appendAll(lines);
            reportRefusedFile();
            const auto count = batch.size();
            batch.clear();
            lock.lock();
            m_written += count;
            m_drained.notify_all();
        }
    }

    void writeEntry(const Entry& entry) {
        const QByteArray line = formatLine(localTime(entry.time), entry.level, entry.message);
        writeToStandardError(line);
        m_file.append(line);
        reportRefusedFile();
    }

    // Said once, and only where it can still be read.
    void reportRefusedFile() {
        if (m_file.refused() && !m_refusalReported) {
            writeToStandardError(formatLine(
                localTime(Clock::now()), u"WARN"_s,
                u"quovant.log is a link or not a regular file; it is left as it is and log lines "
                u"go to standard error only."_s));
        }
        m_refusalReported = m_file.refused();
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_drained;
    std::deque<Entry> m_queue;
    quint64 m_enqueued = 0;
    quint64 m_written = 0;
    bool m_writerIdle = false;
    bool m_stopping = false;
    bool m_stopped = false;
    bool m_refusalReported = false;
    RotatingLogWriter m_file;
    std::thread m_thread;
};

} // namespace

QString flatten(const QString& message) {
    QString flat = message;
    if (std::any_of(message.cbegin(), message.cend(), isLineBreak)) {
        flat = lineBreakRun().replaceAll(message, u" "_s);
    }
    if (flat.size() > kMaximumMessageCharacters) {
        flat = unicode::leftGraphemes(flat, kMaximumMessageCharacters);
    }
    return flat;
}

QByteArray formatLine(QTime time, const QString& level, const QString& message) {
    char clock[16];
    std::snprintf(clock, sizeof clock, "%02d:%02d:%02d.%03d", time.hour(), time.minute(),
                  time.second(), time.msec());
    QByteArray line(clock);
    line += " [";
    line += level.toUtf8();
    line += "] ";
    line += flatten(message).toUtf8();
    line += '\n';
    return line;
}

void write(const QString& level, const QString& message) {
    Writer::instance().enqueue(Entry{Clock::now(), level, message});
}

void flush() {
    Writer::instance().flush();
}

} // namespace quovant::Log
