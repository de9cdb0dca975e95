#pragma once

namespace quovant {

// What the desktop lets Quovant do: the Linux counterparts of the microphone and accessibility
// permissions. Main thread; a probe takes a few milliseconds (bounded when a service hangs).
struct DesktopAccess {
    // The sound server is reachable and has a default input source.
    bool microphone = false;
    // An X11 session whose display offers XInput 2.1 (to watch the keys) and XTest (to type).
    bool keysAndTyping = false;
    // The accessibility bus is on, so selections and password fields can be read.
    bool accessibilityBus = false;

    // Both halves of what the macOS build calls accessibility.
    bool accessibility() const { return keysAndTyping && accessibilityBus; }

    static DesktopAccess probe();
};

} // namespace quovant
