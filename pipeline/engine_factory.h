#pragma once

#include "core/platform_kit.h"

#include <memory>

namespace quovant {

// Chooses the recogniser and formatter the settings ask for, falling back to the HTTP engines
// where the platform offers none of its own.
struct EngineFactory {
    static std::shared_ptr<AsrEngine> makeAsr(const Config& config, const PlatformKit& platform);
    static std::shared_ptr<TextFormatter> makeFormatter(const Config& config,
                                                        const PlatformKit& platform);
    // The Linux platform's own engines: the embedded recogniser and the built-in formatter.
    static void installNativeEngines(PlatformKit& platform);
};

} // namespace quovant
