#pragma once

#include <QCoroTask>
#include <QString>

#include <vector>

namespace quovant {

// The `transcribe` command: pushes one WAV recording through the recogniser, the formatter and
// the transcript guard the user's settings choose, and prints what happened on standard output.
namespace Verify {

// Returns the exit status: 0 when the recording went through (a guard rejection or a formatter
// failure included), 1 after a printed "✗ " line. Never throws.
QCoro::Task<int> run(QString wavPath, QString locale);

// Band-limited conversion from one rate to another (`AudioResampler::convert`), output length
// truncated. Rates that are not positive, and empty input, give the input back unchanged.
// `text` safe for a terminal: C0 and C1 control characters other than line feed and tab, and the
// bidirectional overrides and isolates, are shown as escapes (`\x1b`, `\u202e`).
QString printable(const QString& text);

std::vector<float> resample(const std::vector<float>& samples, double from, double to);

} // namespace Verify
} // namespace quovant
