#pragma once

namespace quovant {

// What the desktop lets Quovant do: the Linux counterparts of the microphone and accessibility
// permissions. Main thread; each probe takes a few milliseconds.
struct DesktopAccess {
    // The X display offers XInput 2.1 (to watch the keys) and XTest (to type).
    bool keysAndTyping = false;
    // The accessibility bus is on, so selections and password fields can be read.
    bool accessibilityBus = false;

    static bool probeKeysAndTyping();
    static bool probeAccessibilityBus();
    static DesktopAccess probe() { return {probeKeysAndTyping(), probeAccessibilityBus()}; }
};

} // namespace quovant
