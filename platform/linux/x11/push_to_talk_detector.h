#pragma once

#include "settings/config.h"

#include <QString>

namespace quovant {

// Decides what one key event means for a held push-to-talk key. Free of X11 so the decisions can
// be tested from tables; not thread-safe (its owner locks).
class PushToTalkDetector {
public:
    enum class Action { none, press, release, cancel };

    struct KeyEvent {
        int keycode = 0;
        bool down = false;
        bool isRepeat = false;
        // A modifier key (Shift, Ctrl, Alt, Super, AltGr and the like) rather than a typing key.
        bool isModifier = false;
    };

    explicit PushToTalkDetector(PushToTalkKey key) : m_keycode(keycodeFor(key)) {}

    // X keycodes (evdev + 8) of the right-hand keys; the left-hand twins differ.
    static int keycodeFor(PushToTalkKey key);
    static QString displayName(PushToTalkKey key);

    Action handle(const KeyEvent& event);
    // The key-up went missing: release unless the hold was already cancelled.
    Action forceRelease();
    // A new key; the held state is dropped without a callback.
    void setKey(PushToTalkKey key);

    int keycode() const { return m_keycode; }
    // The key is believed to be held (also during a cancelled hold).
    bool isDown() const { return m_state != State::up; }

private:
    enum class State { up, down, cancelled };

    int m_keycode;
    State m_state = State::up;
};

} // namespace quovant
