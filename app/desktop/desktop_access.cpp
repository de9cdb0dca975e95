#include "app/desktop/desktop_access.h"

#include "platform/linux/desktop/accessibility_bus.h"
#include "platform/linux/desktop/display_capabilities.h"
#include "platform/linux/desktop/sound_input_probe.h"

namespace quovant {

DesktopAccess DesktopAccess::probe() {
    return {SoundInputProbe::probe().available(), DisplayCapabilities::probe().keysAndTyping(),
            AccessibilityBus().isEnabled()};
}

} // namespace quovant
