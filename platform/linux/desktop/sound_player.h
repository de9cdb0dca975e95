#pragma once

#include <QByteArray>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

namespace quovant {

// Plays short event sounds (16-bit PCM WAV) through the sound server. Sounds are played one
// after another on a worker thread of the player's own; the destructor stops and joins it.
// Public operations are thread-safe. While disabled ("Play sounds" off) nothing is played.
class SoundPlayer {
public:
    SoundPlayer();
    ~SoundPlayer();
    SoundPlayer(const SoundPlayer&) = delete;
    SoundPlayer& operator=(const SoundPlayer&) = delete;

    void setEnabled(bool enabled);
    bool enabled() const;

    // Queues the sound; false when disabled or when `wav` is not a 16-bit PCM WAV.
    bool play(const QByteArray& wav);

    // Blocks until the queue is empty and nothing is playing, or `timeoutMs` passes; true when
    // idle. Counts of sounds played to the end and of sounds the server refused, since start.
    bool waitUntilIdle(int timeoutMs);
    int playedCount() const;
    int failedCount() const;

    struct Pcm {
        QByteArray samples; // interleaved signed 16-bit little-endian
        std::uint32_t sampleRate = 0;
        std::uint8_t channels = 0;
    };
    // The PCM data of a RIFF/WAVE file with 16-bit samples, 1 or 2 channels; absent otherwise.
    static std::optional<Pcm> decodeWav(const QByteArray& wav);

private:
    void run();
    bool playNow(const Pcm& pcm);

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<Pcm> m_queue;
    bool m_enabled = true;
    bool m_playing = false;
    bool m_stopping = false;
    int m_played = 0;
    int m_failed = 0;
    std::thread m_worker;
};

} // namespace quovant
