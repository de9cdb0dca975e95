#pragma once

#include "core/ports/global_hotkey.h"

namespace quovant {

// A hotkey that never fires, for machines without a global key watcher.
class UnsupportedHotkey final : public GlobalHotkey {
public:
    void updateKey(PushToTalkKey) override {}
    bool start() override { return false; }
    void stop() override {}
};

} // namespace quovant
