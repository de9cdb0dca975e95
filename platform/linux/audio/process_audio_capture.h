#pragma once

#include "core/ports/audio_capturing.h"

#include <QStringList>

#include <atomic>
#include <mutex>
#include <optional>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace quovant {

// Capture from a recorder program (the `captureCommand` setting) that writes raw signed 16-bit
// little-endian mono PCM at the requested rate to its standard output. Every "{RATE}" in the
// command is replaced by the rate in whole hertz; the program is run through /usr/bin/env and
// found on the search path.
//
// `onChunk` is read when `start` runs and called on a reader thread of the capture's own;
// `start` and `stop` may come from any thread but not concurrently.
class ProcessAudioCapture final : public AudioCapturing {
public:
    explicit ProcessAudioCapture(QStringList commandTemplate);
    ~ProcessAudioCapture() override;

    float currentLevel() const override { return m_level; }
    AudioCaptureStatus lastCaptureStatus() const override { return AudioCaptureStatus::unknown; }
    void setVoiceProcessingEnabled(bool) override {}
    void prepare() override {}
    void warmUp(double) override {}
    // Throws QuovantError: `noAudioInput` for an empty command; `speechModelUnavailable` with
    // "could not start recorder '<program>'. …" when the program is not found or cannot start.
    void start(double sampleRate, bool retainAudio) override;
    // Ends the recorder (its whole process group) and waits for it; retained samples stay.
    void stop() override;
    void writeRetainedAudio(const QString& filePath) override;

    // The command line `start` runs for `sampleRate`, after "/usr/bin/env".
    static QStringList substitute(const QStringList& commandTemplate, double sampleRate);

private:
    void readLoop(int outputFd, int wakeFd);
    // Turns bytes into samples; a byte left over from an odd-sized block starts the next one.
    void convert(const char* data, std::size_t size);

    const QStringList m_commandTemplate;
    std::atomic<float> m_level{0};
    double m_sampleRate = 0;
    bool m_retainAudio = false;
    std::function<void(const AudioChunk&)> m_chunkHandler;
    std::optional<unsigned char> m_carry;

    pid_t m_process = -1;
    std::thread m_reader;
    int m_output = -1;
    int m_wakeRead = -1;
    int m_wakeWrite = -1;

    std::mutex m_lock; // guards m_retained
    std::vector<float> m_retained;
};

} // namespace quovant
