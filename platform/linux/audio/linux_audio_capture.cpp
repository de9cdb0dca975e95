#include "platform/linux/audio/linux_audio_capture.h"

#include "core/quovant_error.h"
#include "platform/linux/audio/audio_metering.h"
#include "platform/linux/audio/pulse_record_stream.h"
#include "settings/log.h"
#include "settings/paths.h"
#include "speech/wav_encoder.h"

#include <QFile>

#include <cmath>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

QString describe(const std::exception& error) {
    if (const auto* quovant = dynamic_cast<const QuovantError*>(&error)) {
        return quovant->description();
    }
    return QString::fromUtf8(error.what());
}

std::int64_t framesFor(double seconds, double rate) {
    return static_cast<std::int64_t>(std::floor(seconds * rate));
}

} // namespace

std::shared_ptr<LinuxAudioCapture> LinuxAudioCapture::create() {
    return std::shared_ptr<LinuxAudioCapture>(new LinuxAudioCapture());
}

LinuxAudioCapture::LinuxAudioCapture() = default;

LinuxAudioCapture::~LinuxAudioCapture() {
    m_healthQueue.cancel();
    // The sound server's thread reaches into this object until the stream is closed.
    m_engine.reset();
}

AudioCaptureStatus LinuxAudioCapture::lastCaptureStatus() const {
    std::lock_guard state(m_stateLock);
    return m_captureStatus;
}

void LinuxAudioCapture::setVoiceProcessingEnabled(bool enabled) {
    std::lock_guard state(m_stateLock);
    if (enabled != m_voiceProcessingEnabled) {
        m_voiceProcessingFallbackActive = false;
    }
    m_voiceProcessingEnabled = enabled;
}

bool LinuxAudioCapture::voiceProcessingActive() const {
    std::lock_guard state(m_stateLock);
    return voiceProcessingActiveLocked();
}

void LinuxAudioCapture::startLocked(double sampleRate, bool retainAudio, bool capturing,
                                    bool resetUtterance) {
    bool voiceProcessing = false;
    bool alreadyRunning = false;
    {
        std::lock_guard state(m_stateLock);
        m_retainAudio = retainAudio;
        if (resetUtterance) {
            m_retained.clear();
            m_capturedFrames = 0;
            m_peakLevel = 0;
            m_consecutiveZeroFrames = 0;
            m_recoveriesThisUtterance = 0;
            m_capturedNonZeroSignal = false;
            m_captureStatus = AudioCaptureStatus::unknown;
            ++m_captureGeneration;
        }
        voiceProcessing = voiceProcessingActiveLocked();
        alreadyRunning = m_isRunning;
    }

    if (alreadyRunning) {
        if (!capturing) {
            return;
        }
        // Buffers that arrive while the pre-roll is being handed over are already this
        // recording's own audio, so they are retained like live audio.
        for (bool preRoll = true;; preRoll = false) {
            std::vector<float> taken;
            ChunkHandler handler;
            double rate = 0;
            {
                std::lock_guard state(m_stateLock);
                // Taking the last of the pre-roll and switching to live audio in one step leaves
                // no gap for a buffer to fall into, and no buffer can arrive twice.
                if (m_preRoll.empty()) {
                    m_isCapturing = true;
                    return;
                }
                taken.swap(m_preRoll);
                m_preRoll.reserve(taken.capacity());
                const float level = AudioMetering::level(taken);
                m_currentLevel = level;
                accountLocked(taken, level);
                if (!preRoll && m_retainAudio) {
                    m_retained.insert(m_retained.end(), taken.begin(), taken.end());
                }
                handler = m_chunkHandler;
                rate = m_targetRate.value_or(sampleRate);
            }
            if (handler) {
                handler(AudioChunk{std::move(taken), rate});
            }
        }
    }

    // The server delivers whole hertz.
    const double rate = std::trunc(sampleRate);
    if (!(rate >= 1 && rate <= 384000)) {
        throw QuovantError(QuovantError::Kind::audioFormatUnsupported);
    }
    {
        std::lock_guard state(m_stateLock);
        m_targetRate = rate;
        m_preRollCapacity = framesFor(kPreRollSeconds, rate);
        m_preRoll.clear();
        m_isCapturing = capturing;
    }
    std::unique_ptr<PulseRecordStream> engine;
    try {
        engine = std::make_unique<PulseRecordStream>(
            static_cast<int>(rate), voiceProcessing,
            [this](std::span<const float> samples) { processBuffer(samples); });
    } catch (...) {
        std::lock_guard state(m_stateLock);
        m_isCapturing = false;
        m_targetRate.reset();
        throw;
    }
    if (voiceProcessing && !engine->noiseReductionActive()) {
        Log::warn(u"Speech noise reduction could not be enabled: "_s +
                  engine->noiseReductionFailure());
    }
    const bool noiseReduction = engine->noiseReductionActive();
    m_engine = std::move(engine);
    {
        std::lock_guard state(m_stateLock);
        m_isRunning = true;
        m_lastBufferAt = Clock::now();
    }
    Log::info(u"Microphone ready · local noise reduction "_s + (noiseReduction ? u"on"_s : u"off"_s));
}

void LinuxAudioCapture::accountLocked(std::span<const float> samples, float level) {
    m_capturedFrames += static_cast<std::int64_t>(samples.size());
    m_peakLevel = std::max(m_peakLevel, level);
    if (AudioMetering::hasSignal(samples)) {
        m_capturedNonZeroSignal = true;
        m_consecutiveZeroFrames = 0;
    } else {
        m_consecutiveZeroFrames += static_cast<std::int64_t>(samples.size());
    }
}

void LinuxAudioCapture::processBuffer(std::span<const float> samples) {
    const float level = AudioMetering::level(samples);
    ChunkHandler handler;
    double rate = 0;
    {
        std::lock_guard state(m_stateLock);
        if (!m_targetRate) {
            return;
        }
        rate = *m_targetRate;
        m_currentLevel = level;
        m_lastBufferAt = Clock::now();
        if (!m_isCapturing) {
            m_preRoll.insert(m_preRoll.end(), samples.begin(), samples.end());
            const auto excess = static_cast<std::int64_t>(m_preRoll.size()) - m_preRollCapacity;
            if (excess > 0) {
                m_preRoll.erase(m_preRoll.begin(), m_preRoll.begin() + excess);
            }
            return;
        }
        accountLocked(samples, level);
        if (m_retainAudio) {
            m_retained.insert(m_retained.end(), samples.begin(), samples.end());
        }
        handler = m_chunkHandler;
    }
    if (handler) {
        handler(AudioChunk{std::vector<float>(samples.begin(), samples.end()), rate});
    }
}

std::optional<LinuxAudioCapture::RecoveryReason>
LinuxAudioCapture::recoveryNeededBeforeCaptureLocked(double sampleRate) {
    bool voiceProcessing = false;
    bool hasSilentPreRoll = false;
    Clock::time_point lastBufferAt;
    {
        std::lock_guard state(m_stateLock);
        if (!m_isRunning) {
            return std::nullopt;
        }
        voiceProcessing = voiceProcessingActiveLocked();
        const double rate = m_targetRate.value_or(sampleRate);
        hasSilentPreRoll =
            static_cast<std::int64_t>(m_preRoll.size()) >=
                framesFor(kSilenceJudgementSeconds, rate) &&
            !AudioMetering::hasSignal(m_preRoll);
        lastBufferAt = m_lastBufferAt;
    }
    if (!m_engine || !m_engine->isRunning()) {
        return RecoveryReason::engineStopped;
    }
    if (voiceProcessing && hasSilentPreRoll) {
        return RecoveryReason::digitalSilence;
    }
    if (Clock::now() - lastBufferAt > kWarmStaleness) {
        return voiceProcessing ? RecoveryReason::noBuffers : RecoveryReason::engineStopped;
    }
    return std::nullopt;
}

void LinuxAudioCapture::tearDownEngineLocked(bool preserveChunkHandler) {
    m_healthQueue.cancel();
    // Closed outside the state lock: the sound server's thread may be waiting for it.
    m_engine.reset();
    ChunkHandler dropped;
    std::lock_guard state(m_stateLock);
    m_targetRate.reset();
    m_isRunning = false;
    m_isCapturing = false;
    m_currentLevel = 0;
    m_lastBufferAt = Clock::time_point::min();
    m_preRoll.clear();
    m_preRollCapacity = 0;
    if (!preserveChunkHandler) {
        dropped = std::exchange(m_chunkHandler, nullptr);
    }
}

void LinuxAudioCapture::start(double sampleRate, bool retainAudio) {
    std::lock_guard lifecycle(m_lifecycleLock);
    bool rateChanged = false;
    {
        std::lock_guard state(m_stateLock);
        m_chunkHandler = onChunk;
        rateChanged = m_isRunning && m_targetRate && *m_targetRate != std::trunc(sampleRate);
    }
    // A stream warmed at another rate would deliver chunks the recogniser did not ask for.
    if (rateChanged) {
        tearDownEngineLocked(true);
    }
    const auto reason = recoveryNeededBeforeCaptureLocked(sampleRate);
    if (reason == RecoveryReason::digitalSilence) {
        {
            std::lock_guard state(m_stateLock);
            m_voiceProcessingFallbackActive = true;
        }
        Log::warn(u"The local noise-reduction stream returned digital silence. Rebuilding the "
                  u"microphone on its reliable raw-input fallback."_s);
    } else if (reason) {
        Log::warn(u"The microphone engine stopped while warm. Rebuilding it before recording."_s);
    }
    if (reason) {
        tearDownEngineLocked(true);
    }
    startLocked(sampleRate, retainAudio, true, true);
    armActiveHealthCheck(sampleRate, retainAudio);
}

void LinuxAudioCapture::stop() {
    std::lock_guard lifecycle(m_lifecycleLock);
    m_healthQueue.cancel();
    AudioCaptureStatus status;
    double duration = 0;
    float peak = 0;
    ChunkHandler dropped;
    {
        std::lock_guard state(m_stateLock);
        if (!m_isRunning) {
            return;
        }
        m_isCapturing = false;
        dropped = std::exchange(m_chunkHandler, nullptr);
        m_currentLevel = 0;
        if (m_capturedFrames == 0) {
            status = AudioCaptureStatus::noBuffers;
        } else if (m_capturedNonZeroSignal) {
            status = AudioCaptureStatus::usable;
        } else {
            status = AudioCaptureStatus::digitalSilence;
        }
        m_captureStatus = status;
        if (status != AudioCaptureStatus::usable && m_voiceProcessingEnabled) {
            m_voiceProcessingFallbackActive = true;
        }
        ++m_captureGeneration;
        duration = double(m_capturedFrames) / m_targetRate.value_or(kFallbackRate);
        peak = m_peakLevel;
    }
    if (status == AudioCaptureStatus::usable) {
        std::optional<double> rate;
        {
            std::lock_guard state(m_stateLock);
            rate = m_targetRate;
        }
        armWarmHealthCheck(kWarmCheckInterval, rate.value_or(kFallbackRate));
    } else {
        tearDownEngineLocked(false);
    }
    switch (status) {
    case AudioCaptureStatus::noBuffers:
        Log::error(u"NO AUDIO CAPTURED — the microphone delivered zero samples. Check the input "
                   u"device in Settings › Sound."_s);
        break;
    case AudioCaptureStatus::digitalSilence:
        Log::error(u"DIGITAL SILENCE — captured %1s but every PCM sample was zero. The audio "
                   u"engine will be rebuilt before the next dictation."_s.arg(duration, 0, 'f', 1));
        break;
    default:
        if (peak < kQuietPeak) {
            Log::warn(u"Captured %1s of audio but it was silent (peak %2). Wrong input device, or "
                      u"muted?"_s.arg(duration, 0, 'f', 1)
                          .arg(double(peak), 0, 'f', 3));
        }
        break;
    }
}

void LinuxAudioCapture::warmUp(double sampleRate) {
    std::lock_guard lifecycle(m_lifecycleLock);
    bool running = false;
    {
        std::lock_guard state(m_stateLock);
        running = m_isRunning;
    }
    if (running) {
        if (m_engine && m_engine->isRunning()) {
            return;
        }
        Log::warn(u"The warm microphone engine was no longer running. Rebuilding it."_s);
        tearDownEngineLocked(false);
    }
    ChunkHandler dropped;
    {
        std::lock_guard state(m_stateLock);
        dropped = std::exchange(m_chunkHandler, nullptr);
    }
    try {
        startLocked(sampleRate, false, false, true);
    } catch (const std::exception& error) {
        Log::warn(u"Microphone warm-up failed: "_s + describe(error));
        return;
    }
    armWarmHealthCheck(kFirstWarmCheck, sampleRate);
}

void LinuxAudioCapture::armWarmHealthCheck(std::chrono::milliseconds delay, double sampleRate) {
    m_healthQueue.cancel();
    std::int64_t generation = 0;
    {
        std::lock_guard state(m_stateLock);
        generation = m_captureGeneration;
    }
    m_healthQueue.schedule(delay, [weak = weak_from_this(), generation, sampleRate] {
        if (auto self = weak.lock()) {
            self->runWarmHealthCheck(generation, sampleRate);
        }
    });
}

void LinuxAudioCapture::armActiveHealthCheck(double sampleRate, bool retainAudio) {
    m_healthQueue.cancel();
    std::int64_t generation = 0;
    {
        std::lock_guard state(m_stateLock);
        generation = m_captureGeneration;
    }
    m_healthQueue.schedule(kActiveCheckInterval,
                           [weak = weak_from_this(), generation, sampleRate, retainAudio] {
                               if (auto self = weak.lock()) {
                                   self->runActiveHealthCheck(generation, sampleRate, retainAudio);
                               }
                           });
}

void LinuxAudioCapture::runWarmHealthCheck(std::int64_t generation, double sampleRate) {
    std::lock_guard lifecycle(m_lifecycleLock);
    {
        std::lock_guard state(m_stateLock);
        if (!m_isRunning || generation != m_captureGeneration || m_isCapturing) {
            return;
        }
    }
    const auto reason = recoveryNeededBeforeCaptureLocked(sampleRate);
    if (!reason) {
        armWarmHealthCheck(kWarmCheckInterval, sampleRate);
        return;
    }
    if (reason == RecoveryReason::engineStopped) {
        Log::warn(u"Warm microphone health check found a stopped engine. Restarting it."_s);
    } else {
        {
            std::lock_guard state(m_stateLock);
            m_voiceProcessingFallbackActive = true;
        }
        Log::warn(u"Warm microphone health check found "_s +
                  (reason == RecoveryReason::noBuffers ? u"no audio buffers"_s
                                                       : u"digital silence"_s) +
                  u". Switching automatically to raw input."_s);
    }
    tearDownEngineLocked(false);
    try {
        startLocked(sampleRate, false, false, true);
    } catch (const std::exception& error) {
        Log::error(u"Background microphone recovery failed: "_s + describe(error));
        return;
    }
    Log::info(u"Microphone recovered in the background."_s);
    armWarmHealthCheck(kWarmCheckInterval, sampleRate);
}

void LinuxAudioCapture::runActiveHealthCheck(std::int64_t generation, double sampleRate,
                                             bool retainAudio) {
    std::lock_guard lifecycle(m_lifecycleLock);
    bool fresh = false;
    bool zeroRun = false;
    bool voiceProcessing = false;
    std::int64_t recoveries = 0;
    {
        std::lock_guard state(m_stateLock);
        if (generation != m_captureGeneration || !m_isCapturing) {
            return;
        }
        const double rate = m_targetRate.value_or(sampleRate);
        fresh = Clock::now() - m_lastBufferAt <= kRecordingStaleness;
        zeroRun = m_consecutiveZeroFrames >= framesFor(kZeroRunSeconds, rate);
        voiceProcessing = voiceProcessingActiveLocked();
        recoveries = m_recoveriesThisUtterance;
    }
    const bool engineRunning = m_engine && m_engine->isRunning();
    if (engineRunning && fresh && !zeroRun) {
        armActiveHealthCheck(sampleRate, retainAudio);
        return;
    }
    const bool digitalSilence = engineRunning && fresh && zeroRun;
    if (recoveries >= 1) {
        Log::error(u"Microphone recovery exhausted: "_s +
                   (digitalSilence ? u"the input still returns digital silence"_s
                                   : u"audio callbacks did not resume"_s) +
                   u"."_s);
        return;
    }
    {
        std::lock_guard state(m_stateLock);
        ++m_recoveriesThisUtterance;
        ++m_captureGeneration;
        if (voiceProcessing) {
            m_voiceProcessingFallbackActive = true;
        }
    }
    Log::warn(u"Microphone became unhealthy while listening ("_s +
              (digitalSilence ? u"digital silence"_s : u"audio stream stopped"_s) +
              u"). Rebuilding it now"_s +
              (voiceProcessing ? u" without local noise reduction"_s : QString()) + u"."_s);
    tearDownEngineLocked(true);
    try {
        startLocked(sampleRate, retainAudio, true, false);
    } catch (const std::exception& error) {
        Log::error(u"Microphone could not recover while listening: "_s + describe(error));
        return;
    }
    armActiveHealthCheck(sampleRate, retainAudio);
    Log::info(u"Microphone recovered while listening."_s);
}

void LinuxAudioCapture::writeRetainedAudio(const QString& filePath) {
    std::vector<float> samples;
    bool retain = false;
    std::optional<double> rate;
    {
        std::lock_guard state(m_stateLock);
        samples.swap(m_retained);
        retain = m_retainAudio;
        rate = m_targetRate;
    }
    if (!retain || samples.empty() || !rate) {
        return;
    }
    try {
        const QByteArray wav = WavEncoder::encode(samples, *rate);
        QFile file(filePath);
        // Created private, so the recording is never readable by others even for a moment.
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate,
                      QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
            file.write(wav);
            file.close();
        }
    } catch (const std::exception&) {
        // An unwritable copy is not worth failing a dictation over.
    }
    Paths::protectFile(filePath);
}

} // namespace quovant
