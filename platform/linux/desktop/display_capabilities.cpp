#include "platform/linux/desktop/display_capabilities.h"

#include <QtGlobal>

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>

namespace quovant {

QString DisplayCapabilities::missingExtensions() const {
    if (xinput21 && xtest) {
        return {};
    }
    if (!xinput21 && !xtest) {
        return QStringLiteral("XInput 2.1 and XTest");
    }
    return xinput21 ? QStringLiteral("XTest") : QStringLiteral("XInput 2.1");
}

DisplayCapabilities DisplayCapabilities::probe() {
    DisplayCapabilities caps;
    const QByteArray sessionType = qgetenv("XDG_SESSION_TYPE").toLower();
    caps.waylandSession =
        sessionType == "wayland" || (sessionType != "x11" && !qgetenv("WAYLAND_DISPLAY").isEmpty());

    // An empty DISPLAY would make Xlib fall back to ":0", which may be someone else's server.
    if (qgetenv("DISPLAY").isEmpty()) {
        return caps;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        return caps;
    }
    caps.displayReachable = true;

    int opcode = 0;
    int event = 0;
    int error = 0;
    if (XQueryExtension(display, "XInputExtension", &opcode, &event, &error)) {
        int major = 2;
        int minor = 1;
        // The server answers with the highest version both sides know; 2.1 brings raw events
        // delivered to the root window regardless of grabs.
        if (XIQueryVersion(display, &major, &minor) == Success) {
            caps.xinput21 = major > 2 || (major == 2 && minor >= 1);
        }
    }
    int majorTest = 0;
    int minorTest = 0;
    caps.xtest = XTestQueryExtension(display, &event, &error, &majorTest, &minorTest) == True;
    XCloseDisplay(display);
    return caps;
}

} // namespace quovant
