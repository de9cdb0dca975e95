#pragma once

#include <QString>

namespace quovant {

// The process-wide diagnostic log: one line per event to standard error and to the rotating
// "quovant.log" in the data directory. `write` is thread-safe and never waits for disk I/O.
namespace Log {

void write(const QString& level, const QString& message);

inline void info(const QString& message) { write(QStringLiteral("INFO"), message); }
inline void warn(const QString& message) { write(QStringLiteral("WARN"), message); }
inline void error(const QString& message) { write(QStringLiteral("ERROR"), message); }

// Blocks until every line queued so far is written (tests, process exit).
void flush();

} // namespace Log
} // namespace quovant
