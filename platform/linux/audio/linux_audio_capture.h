#pragma once

#include "core/ports/audio_capturing.h"
#include "platform/linux/audio/health_queue.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace quovant {

class PulseRecordStream;

// The microphone through the sound server (PulseAudio or PipeWire's pulse server). The stream
// stays open between recordings (warm) and keeps the latest 0.6 s in a pre-roll that `start`
// hands over before live audio; chunks are float32 mono at the requested rate. Health checks on
// a thread of their own rebuild a stream that stops, goes silent or loses its source, falling
// back to raw input when local noise reduction misbehaves.
//
// Make it with `create()` (the health checks hold it weakly). `onChunk` is read when `start`
// runs and called on the sound server's thread; `start`, `stop` and `warmUp` may be called from
// any thread and are serialised.
class LinuxAudioCapture final : public AudioCapturing,
                                public std::enable_shared_from_this<LinuxAudioCapture> {
public:
    // Why a warm stream must be rebuilt before recording.
    enum class RecoveryReason { engineStopped, noBuffers, digitalSilence };

    static constexpr double kPreRollSeconds = 0.6;
    static constexpr double kQuietPeak = 0.01;
    static constexpr double kSilenceJudgementSeconds = 0.4;
    static constexpr std::chrono::milliseconds kFirstWarmCheck{900};
    static constexpr std::chrono::milliseconds kWarmCheckInterval{5000};
    static constexpr std::chrono::milliseconds kActiveCheckInterval{750};
    static constexpr std::chrono::milliseconds kWarmStaleness{1000};
    static constexpr std::chrono::milliseconds kRecordingStaleness{750};
    static constexpr double kZeroRunSeconds = 0.7;
    static constexpr double kFallbackRate = 16000;

    static std::shared_ptr<LinuxAudioCapture> create();
    ~LinuxAudioCapture() override;

    float currentLevel() const override { return m_currentLevel; }
    AudioCaptureStatus lastCaptureStatus() const override;
    // Takes effect at the next stream start; a change clears a raw-input fallback.
    void setVoiceProcessingEnabled(bool enabled) override;
    void prepare() override {}
    void warmUp(double sampleRate) override;
    // Throws QuovantError (`noAudioInput`, `microphoneDenied`, `audioFormatUnsupported`) or
    // std::runtime_error when the sound server fails otherwise.
    void start(double sampleRate, bool retainAudio) override;
    void stop() override;
    void writeRetainedAudio(const QString& filePath) override;

    // Whether the next stream start will use local noise reduction.
    bool voiceProcessingActive() const;

private:
    using Clock = std::chrono::steady_clock;
    using ChunkHandler = std::function<void(const AudioChunk&)>;

    LinuxAudioCapture();
    bool voiceProcessingActiveLocked() const {
        return m_voiceProcessingEnabled && !m_voiceProcessingFallbackActive;
    }
    void startLocked(double sampleRate, bool retainAudio, bool capturing, bool resetUtterance);
    void processBuffer(std::span<const float> samples);
    // Counts delivered samples into this recording; the state lock is held.
    void accountLocked(std::span<const float> samples, float level);
    std::optional<RecoveryReason> recoveryNeededBeforeCaptureLocked(double sampleRate);
    void tearDownEngineLocked(bool preserveChunkHandler);
    void armWarmHealthCheck(std::chrono::milliseconds delay, double sampleRate);
    void armActiveHealthCheck(double sampleRate, bool retainAudio);
    void runWarmHealthCheck(std::int64_t generation, double sampleRate);
    void runActiveHealthCheck(std::int64_t generation, double sampleRate, bool retainAudio);

    // Guarded by m_lifecycleLock: only start, stop, warm-up and health checks touch it.
    std::unique_ptr<PulseRecordStream> m_engine;

    // Guarded by m_stateLock.
    std::optional<double> m_targetRate;
    bool m_isRunning = false;
    ChunkHandler m_chunkHandler;
    std::atomic<float> m_currentLevel{0};
    std::vector<float> m_retained;
    bool m_retainAudio = false;
    bool m_voiceProcessingEnabled = true;
    bool m_voiceProcessingFallbackActive = false;
    std::mutex m_lifecycleLock;
    mutable std::mutex m_stateLock;
    std::int64_t m_captureGeneration = 0;
    std::int64_t m_recoveriesThisUtterance = 0;
    Clock::time_point m_lastBufferAt = Clock::time_point::min();
    std::int64_t m_consecutiveZeroFrames = 0;
    bool m_capturedNonZeroSignal = false;
    AudioCaptureStatus m_captureStatus = AudioCaptureStatus::unknown;
    std::int64_t m_capturedFrames = 0;
    float m_peakLevel = 0;
    std::vector<float> m_preRoll;
    std::int64_t m_preRollCapacity = 0;
    bool m_isCapturing = false;

    // Last, so it stops before anything its tasks could reach goes away.
    HealthQueue m_healthQueue{"audio-health"};
};

} // namespace quovant
