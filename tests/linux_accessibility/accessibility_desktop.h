#pragma once

#include "support/accessibility_bus.h"
#include "support/desktop_peers.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <functional>

namespace quovant::testing {

// Xvfb and an accessibility bus shared by every test of this program (libatspi keeps its first
// bus for the life of the process); stopped after the last test.
struct AccessibilityDesktop {
    XvfbServer display;
    AccessibilityBus bus;

    bool running() const { return display.running() && bus.running(); }
    static AccessibilityDesktop& shared();
};

// Polls `condition` (processing events) until it holds or `timeoutMs` pass.
inline bool eventually(const std::function<bool()>& condition, int timeoutMs = 20000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(20);
    }
    return true;
}

} // namespace quovant::testing
