#pragma once

#include "core/ports/frontmost_app_provider.h"

namespace quovant {

// Answers that no application is known to be in front.
class UnknownFrontmostApp final : public FrontmostAppProvider {
public:
    FrontmostApp frontmostApp() override { return {}; }
};

} // namespace quovant
