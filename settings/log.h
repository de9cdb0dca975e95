#pragma once

#include <QByteArray>
#include <QString>
#include <QTime>

namespace quovant {

// The process-wide diagnostic log: one line per event to standard error and to the rotating
// "quovant.log" in the data directory. `write` is thread-safe and never waits for disk I/O: one
// background writer takes the lines in call order.
namespace Log {

void write(const QString& level, const QString& message);

inline void info(const QString& message) {
    write(QStringLiteral("INFO"), message);
}
inline void warn(const QString& message) {
    write(QStringLiteral("WARN"), message);
}
inline void error(const QString& message) {
    write(QStringLiteral("ERROR"), message);
}

// Blocks until every line queued so far is written (tests, process exit).
void flush();

// The message on one line: each run of white space holding a line break becomes one blank, and
// the result is cut to its first 4096 user-perceived characters.
QString flatten(const QString& message);
// "HH:mm:ss.SSS [LEVEL] message\n" in UTF-8, the message flattened.
QByteArray formatLine(QTime time, const QString& level, const QString& message);

} // namespace Log
} // namespace quovant
