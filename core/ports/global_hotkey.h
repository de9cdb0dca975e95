#pragma once

#include "core/forward.h"

#include <functional>

namespace quovant {

// Watches one push-to-talk key; the callbacks are always delivered on the main thread.
class GlobalHotkey {
public:
    virtual ~GlobalHotkey() = default;

    std::function<void()> onPress;
    std::function<void()> onRelease;
    // The hold turned out to be typing (another key went down meanwhile): abandon the utterance
    // quietly. No release follows for that hold.
    std::function<void()> onCancel;

    virtual void updateKey(PushToTalkKey key) = 0;
    // True when the key watcher is running.
    virtual bool start() = 0;
    virtual void stop() = 0;
};

} // namespace quovant
