#include "app/desktop/desktop_access.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QVariant>

// Xlib's macros clash with Qt's names, so it comes last.
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>

using namespace Qt::StringLiterals;

namespace quovant {

bool DesktopAccess::probeKeysAndTyping() {
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        return false;
    }
    int opcode = 0, event = 0, error = 0;
    bool available = XQueryExtension(display, "XInputExtension", &opcode, &event, &error);
    if (available) {
        int major = 2, minor = 1;
        available = XIQueryVersion(display, &major, &minor) == Success &&
                    (major > 2 || (major == 2 && minor >= 1));
    }
    if (available) {
        int major = 0, minor = 0;
        available = XTestQueryExtension(display, &event, &error, &major, &minor);
    }
    XCloseDisplay(display);
    return available;
}

bool DesktopAccess::probeAccessibilityBus() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return false;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        u"org.a11y.Bus"_s, u"/org/a11y/bus"_s, u"org.freedesktop.DBus.Properties"_s, u"Get"_s);
    call.setArguments({u"org.a11y.Status"_s, u"IsEnabled"_s});
    // Asking must not start the bus: one nobody started is one nobody uses.
    call.setAutoStartService(false);
    const QDBusMessage answer = bus.call(call, QDBus::Block, 2000);
    if (answer.type() != QDBusMessage::ReplyMessage || answer.arguments().isEmpty()) {
        return false;
    }
    return answer.arguments().first().value<QDBusVariant>().variant().toBool();
}

} // namespace quovant
