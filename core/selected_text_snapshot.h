#pragma once

#include <QString>
#include <cstdint>
#include <optional>
#include <sys/types.h>

namespace quovant {

// A selection in the accessibility API's character units.
struct TextSelectionRange {
    std::int64_t location = 0;
    std::int64_t length = 0;

    bool operator==(const TextSelectionRange&) const = default;
};

// What was selected when an edit-in-place recording began.
struct SelectedTextSnapshot {
    QString text;
    std::int32_t processID = 0;
    std::optional<TextSelectionRange> range;

    bool operator==(const SelectedTextSnapshot&) const = default;
};

} // namespace quovant
