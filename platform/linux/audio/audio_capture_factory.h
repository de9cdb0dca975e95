#pragma once

#include "core/ports/audio_capturing.h"
#include "settings/config.h"

#include <memory>

namespace quovant {

// The capture the desktop application records with: the recorder program of `captureCommand`
// when that setting is present (even empty: then every start fails with `noAudioInput`),
// otherwise the microphone through the sound server, with `voiceProcessingEnabled` applied.
// Nothing is opened yet: call `warmUp` when recording may come soon, `start` to record.
std::shared_ptr<AudioCapturing> makeAudioCapture(const Config& config);

} // namespace quovant
