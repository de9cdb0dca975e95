#pragma once

#include "core/ports/global_hotkey.h"
#include "settings/config.h"

#include <memory>
#include <thread>

namespace quovant {

// The push-to-talk key on an X11 display: observes XInput 2.1 raw key events on the root window
// (never grabs), on a thread of its own with its own display connection, and recovers a lost
// key-up by reading the keyboard state on a watchdog thread with another connection. One instance
// per configured key. Construct, set the callbacks and call `start` on the main thread; the
// callbacks run there too, after the state change that caused them. Our own injector's
// keystrokes are ignored (see InjectionAnnouncer); every other synthetic key counts.
class LinuxHotkey final : public GlobalHotkey {
public:
    explicit LinuxHotkey(PushToTalkKey key);
    ~LinuxHotkey() override;
    LinuxHotkey(const LinuxHotkey&) = delete;
    LinuxHotkey& operator=(const LinuxHotkey&) = delete;

    // Takes effect with the next event; a held key is forgotten without a callback.
    void updateKey(PushToTalkKey key) override;
    // False (with an "ERROR" log line) when no X display with XInput 2.1 can be watched. After a
    // lost display connection (logged once) `start` may be called again.
    bool start() override;
    void stop() override;

    // Whether the listener thread is watching the display (false after a lost connection).
    bool isRunning() const;

    // State shared with the listener and watchdog threads (internal).
    struct Shared;

private:
    std::shared_ptr<Shared> m_shared;
    std::shared_ptr<bool> m_alive;
    std::thread m_listener;
    std::thread m_watchdog;
};

} // namespace quovant
