#pragma once

#include <QString>

#include <optional>

namespace quovant {

struct FocusedApplication {
    std::optional<QString> bundleID;
    qint32 processID = 0;

    bool operator==(const FocusedApplication&) const = default;
};

// What the desktop knows about the application in front and its focused window. Implemented by
// the desktop layer; called on the main thread.
class FocusedWindowInfoSource {
public:
    virtual ~FocusedWindowInfoSource() = default;

    virtual std::optional<FocusedApplication> frontmostApplication() = 0;
    // Absolute path of the file shown in the application's focused window, if any.
    virtual std::optional<QString> focusedDocumentPath(qint32 processID) = 0;
};

} // namespace quovant
