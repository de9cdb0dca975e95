#include "platform/linux/x11/push_to_talk_detector.h"

using namespace Qt::StringLiterals;

namespace quovant {

int PushToTalkDetector::keycodeFor(PushToTalkKey key) {
    switch (key) {
    case PushToTalkKey::rightOption:
        return 108;
    case PushToTalkKey::rightCommand:
        return 134;
    case PushToTalkKey::fn:
        return 105;
    }
    return 108;
}

QString PushToTalkDetector::displayName(PushToTalkKey key) {
    switch (key) {
    case PushToTalkKey::rightOption:
        return u"Right Alt"_s;
    case PushToTalkKey::rightCommand:
        return u"Right Super"_s;
    case PushToTalkKey::fn:
        return u"Right Ctrl"_s;
    }
    return u"Right Alt"_s;
}

PushToTalkDetector::Action PushToTalkDetector::handle(const KeyEvent& event) {
    if (event.keycode == m_keycode) {
        if (event.down) {
            if (m_state != State::up) {
                return Action::none;
            }
            m_state = State::down;
            return Action::press;
        }
        const State previous = m_state;
        m_state = State::up;
        return previous == State::down ? Action::release : Action::none;
    }
    // Typing during a hold: Right Alt is AltGr and Right Super starts shortcuts on many desktops.
    if (event.down && !event.isRepeat && !event.isModifier && m_state == State::down) {
        m_state = State::cancelled;
        return Action::cancel;
    }
    return Action::none;
}

PushToTalkDetector::Action PushToTalkDetector::forceRelease() {
    const State previous = m_state;
    m_state = State::up;
    return previous == State::down ? Action::release : Action::none;
}

void PushToTalkDetector::setKey(PushToTalkKey key) {
    m_keycode = keycodeFor(key);
    m_state = State::up;
}

} // namespace quovant
