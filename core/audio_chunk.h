#pragma once

#include <vector>

namespace quovant {

// Mono 32-bit float samples (nominal range -1...1) and their rate in hertz.
struct AudioChunk {
    std::vector<float> samples;
    double sampleRate = 0;

    bool operator==(const AudioChunk&) const = default;
};

// What the capture saw during the last recording.
enum class AudioCaptureStatus { unknown, usable, noBuffers, digitalSilence };

} // namespace quovant
