#pragma once

#include "core/ports/audio_capturing.h"

namespace quovant {

// Capture for machines without an audio input: every start fails with `noAudioInput`.
class UnsupportedCapture final : public AudioCapturing {
public:
    float currentLevel() const override { return 0; }
    AudioCaptureStatus lastCaptureStatus() const override { return AudioCaptureStatus::unknown; }
    void setVoiceProcessingEnabled(bool) override {}
    void prepare() override {}
    void warmUp(double) override {}
    void start(double sampleRate, bool retainAudio) override;
    void stop() override {}
    void writeRetainedAudio(const QString&) override {}
};

} // namespace quovant
