#pragma once

#include <QString>

namespace quovant {

// What the desktop session offers for watching the hold-to-talk keys and typing text: an X11
// display with XInput 2.1 (raw key events) and XTest (synthetic keys). Each probe opens and
// closes its own short display connection, so it may be called from any thread.
struct DisplayCapabilities {
    bool waylandSession = false; // the session is Wayland (XWayland may still answer)
    bool displayReachable = false; // an X display answered on $DISPLAY
    bool xinput21 = false;
    bool xtest = false;

    // Global keys and typing work: an X11 session whose display has both extensions.
    bool keysAndTyping() const {
        return !waylandSession && displayReachable && xinput21 && xtest;
    }
    // The missing parts in a short phrase ("XTest", "XInput 2.1 and XTest"), empty when none.
    QString missingExtensions() const;

    // Reads the session type from XDG_SESSION_TYPE / WAYLAND_DISPLAY and asks the X display.
    static DisplayCapabilities probe();

    bool operator==(const DisplayCapabilities&) const = default;
};

} // namespace quovant
