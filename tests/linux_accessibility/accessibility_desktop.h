#pragma once

#include "support/accessibility_bus.h"
#include "support/desktop_peers.h"
#include "support/wait.h"

namespace quovant::testing {

// Xvfb and an accessibility bus shared by every test of this program (libatspi keeps its first
// bus for the life of the process); stopped after the last test.
struct AccessibilityDesktop {
    XvfbServer display;
    AccessibilityBus bus;

    bool running() const { return display.running() && bus.running(); }
    static AccessibilityDesktop& shared();
};

} // namespace quovant::testing
