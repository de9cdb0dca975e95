#pragma once

#include <QString>
#include <optional>

namespace quovant {

struct FrontmostApp {
    std::optional<QString> name;
    std::optional<QString> bundleID;

    bool operator==(const FrontmostApp&) const = default;
};

// Names the application in front. Main thread.
class FrontmostAppProvider {
public:
    virtual ~FrontmostAppProvider() = default;

    virtual FrontmostApp frontmostApp() = 0;
};

} // namespace quovant
