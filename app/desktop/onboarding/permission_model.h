#pragma once

#include "platform/linux/desktop/accessibility_bus.h"
#include "platform/linux/desktop/display_capabilities.h"

#include <QTimer>

#include <functional>

namespace quovant {

// What the first-run window watches, read live: a reachable sound input source (the Linux
// counterpart of microphone access), keys and typing (an X11 display with XInput 2.1 and
// XTest), and the accessibility bus (Edit in Place, password-field protection). Main thread.
class PermissionModel {
public:
    static constexpr int kPollMs = 700;

    // Where the facts come from; the defaults ask the desktop. Each call may block briefly
    // (a few milliseconds normally, a bounded fraction of a second when a service hangs).
    struct Probes {
        std::function<bool()> soundInput;
        std::function<DisplayCapabilities()> display;
        std::function<bool()> accessibilityBus;
        std::function<AccessibilityBus::EnableResult()> enableAccessibilityBus;
    };
    static Probes desktopProbes();

    explicit PermissionModel(Probes probes = desktopProbes());

    bool microphone() const { return m_microphone; }
    const DisplayCapabilities& display() const { return m_display; }
    bool keysAndTyping() const { return m_display.keysAndTyping(); }
    bool accessibilityBus() const { return m_accessibilityBus; }
    bool allGranted() const { return m_microphone && keysAndTyping() && m_accessibilityBus; }

    // Reads every probe; calls `onMicrophoneGranted` when the input source has just become
    // reachable, then `onChanged`.
    void refresh();
    // Refreshes at once, then every 0.7 s until `stopPolling`.
    void startPolling();
    void stopPolling();
    bool isPolling() const { return m_timer.isActive(); }

    AccessibilityBus::EnableResult enableAccessibilityBus();

    std::function<void()> onChanged;
    std::function<void()> onMicrophoneGranted;
    std::function<void()> onRestartRequested;
    std::function<void()> onFinished;

private:
    Probes m_probes;
    bool m_microphone = false;
    DisplayCapabilities m_display;
    bool m_accessibilityBus = false;
    QTimer m_timer;
};

} // namespace quovant
