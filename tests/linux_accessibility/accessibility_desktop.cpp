#include "linux_accessibility/accessibility_desktop.h"

#include <gtest/gtest.h>

#include <memory>

namespace quovant::testing {

namespace {

std::unique_ptr<AccessibilityDesktop> g_desktop;

class StopDesktop : public ::testing::Environment {
public:
    void TearDown() override { g_desktop.reset(); }
};

[[maybe_unused]] ::testing::Environment* const g_stopDesktop =
    ::testing::AddGlobalTestEnvironment(new StopDesktop);

} // namespace

AccessibilityDesktop& AccessibilityDesktop::shared() {
    if (!g_desktop) {
        g_desktop = std::make_unique<AccessibilityDesktop>();
    }
    return *g_desktop;
}

} // namespace quovant::testing
