#pragma once

#include "support/desktop_peers.h"

#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <memory>

namespace quovant::testing {

// A private session bus with the AT-SPI bus launcher on it and assistive technologies turned on,
// for the display named by DISPLAY when it starts. While it lives, DBUS_SESSION_BUS_ADDRESS names
// its session bus. libatspi keeps its first accessibility bus for the life of the process, so a
// test program uses one of these (with one display) throughout.
class AccessibilityBus {
public:
    AccessibilityBus();
    ~AccessibilityBus();
    AccessibilityBus(const AccessibilityBus&) = delete;
    AccessibilityBus& operator=(const AccessibilityBus&) = delete;

    bool running() const;
    QString sessionAddress() const { return m_session.address(); }
    // org.a11y.Status.IsEnabled, as the desktop's accessibility switch sets it.
    bool setEnabled(bool enabled);
    // For programs shown on the bus: the display, the session bus, the toolkit bridges on
    // (GTK's by default, Qt's by QT_LINUX_ACCESSIBILITY_ALWAYS_ON) and a home of their own.
    QProcessEnvironment environment() const;

private:
    SessionBus m_session;
    QTemporaryDir m_home;
    std::unique_ptr<PeerProcess> m_launcher;
    bool m_ready = false;
};

} // namespace quovant::testing
