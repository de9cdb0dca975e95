#pragma once

#include <QtGlobal>

namespace quovant {

// Hard ceilings on what the store keeps. The defaults are the application's own limits; the
// store raises any value below 1 to 1.
struct RetentionLimits {
    qint64 maxHistoryEntries = 2000;
    qint64 maxHistoryBytes = 8 * 1024 * 1024;
    qint64 maxAudioFiles = 100;
    qint64 maxAudioBytes = 256 * 1024 * 1024;

    bool operator==(const RetentionLimits&) const = default;
};

} // namespace quovant
