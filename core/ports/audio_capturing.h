#pragma once

#include "core/audio_chunk.h"

#include <QString>
#include <functional>

namespace quovant {

// A microphone or recorder. `onChunk` is called on the capture thread; everything else is called
// on the main thread. `start` throws QuovantError when no audio can be captured.
class AudioCapturing {
public:
    virtual ~AudioCapturing() = default;

    std::function<void(const AudioChunk&)> onChunk;

    // Level of the most recent audio, 0...1.
    virtual float currentLevel() const = 0;
    virtual AudioCaptureStatus lastCaptureStatus() const = 0;
    virtual void setVoiceProcessingEnabled(bool enabled) = 0;
    virtual void prepare() = 0;
    // Called when capture may be needed soon, so the first words are not lost.
    virtual void warmUp(double sampleRate) = 0;
    virtual void start(double sampleRate, bool retainAudio) = 0;
    virtual void stop() = 0;
    // Writes the audio kept since `start` (when retained) as a WAV file; never throws.
    virtual void writeRetainedAudio(const QString& filePath) = 0;
};

} // namespace quovant
