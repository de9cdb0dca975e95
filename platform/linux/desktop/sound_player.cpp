#include "platform/linux/desktop/sound_player.h"

#include <QtEndian>

#include <pulse/simple.h>
#include <pulse/error.h>

#include <chrono>

namespace quovant {

namespace {

// At most this many sounds wait; a burst of errors should not replay for seconds.
constexpr std::size_t kMaxQueued = 2;

std::uint32_t readU32(const char* p) {
    return qFromLittleEndian<quint32>(reinterpret_cast<const uchar*>(p));
}
std::uint16_t readU16(const char* p) {
    return qFromLittleEndian<quint16>(reinterpret_cast<const uchar*>(p));
}

} // namespace

SoundPlayer::SoundPlayer() : m_worker([this] { run(); }) {}

SoundPlayer::~SoundPlayer() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_queue.clear();
    }
    m_wake.notify_all();
    m_worker.join();
}

void SoundPlayer::setEnabled(bool enabled) {
    std::lock_guard lock(m_mutex);
    m_enabled = enabled;
    if (!enabled) {
        m_queue.clear();
    }
}

bool SoundPlayer::enabled() const {
    std::lock_guard lock(m_mutex);
    return m_enabled;
}

bool SoundPlayer::play(const QByteArray& wav) {
    {
        std::lock_guard lock(m_mutex);
        if (!m_enabled) {
            return false;
        }
    }
    std::optional<Pcm> pcm = decodeWav(wav);
    if (!pcm) {
        return false;
    }
    {
        std::lock_guard lock(m_mutex);
        if (!m_enabled || m_stopping) {
            return false;
        }
        if (m_queue.size() >= kMaxQueued) {
            m_queue.pop_front();
        }
        m_queue.push_back(std::move(*pcm));
    }
    m_wake.notify_one();
    return true;
}

bool SoundPlayer::waitUntilIdle(int timeoutMs) {
    std::unique_lock lock(m_mutex);
    return m_idle.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return m_queue.empty() && !m_playing; });
}

int SoundPlayer::playedCount() const {
    std::lock_guard lock(m_mutex);
    return m_played;
}

int SoundPlayer::failedCount() const {
    std::lock_guard lock(m_mutex);
    return m_failed;
}

void SoundPlayer::run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
        if (m_stopping) {
            break;
        }
        Pcm pcm = std::move(m_queue.front());
        m_queue.pop_front();
        m_playing = true;
        lock.unlock();
        const bool ok = playNow(pcm);
        lock.lock();
        m_playing = false;
        ok ? ++m_played : ++m_failed;
        if (m_queue.empty()) {
            m_idle.notify_all();
        }
    }
    m_playing = false;
    m_idle.notify_all();
}

bool SoundPlayer::playNow(const Pcm& pcm) {
    pa_sample_spec spec{};
    spec.format = PA_SAMPLE_S16LE;
    spec.rate = pcm.sampleRate;
    spec.channels = pcm.channels;
    int error = 0;
    pa_simple* stream = pa_simple_new(nullptr, "Quovant", PA_STREAM_PLAYBACK, nullptr,
                                      "Quovant event sound", &spec, nullptr, nullptr, &error);
    if (stream == nullptr) {
        return false;
    }
    const bool ok = pa_simple_write(stream, pcm.samples.constData(),
                                    static_cast<size_t>(pcm.samples.size()), &error) == 0 &&
                    pa_simple_drain(stream, &error) == 0;
    pa_simple_free(stream);
    return ok;
}

std::optional<SoundPlayer::Pcm> SoundPlayer::decodeWav(const QByteArray& wav) {
    if (wav.size() < 12 || !wav.startsWith("RIFF") || wav.mid(8, 4) != "WAVE") {
        return std::nullopt;
    }
    std::optional<Pcm> format;
    qsizetype offset = 12;
    while (offset + 8 <= wav.size()) {
        const char* header = wav.constData() + offset;
        const QByteArray id(header, 4);
        const qint64 size = readU32(header + 4);
        const qsizetype body = offset + 8;
        if (id == "fmt " && size >= 16 && body + 16 <= wav.size()) {
            const char* f = wav.constData() + body;
            const std::uint16_t encoding = readU16(f);
            const std::uint16_t channels = readU16(f + 2);
            const std::uint32_t rate = readU32(f + 4);
            const std::uint16_t bits = readU16(f + 14);
            // 0xFFFE (extensible) carries plain PCM here as sox writes it.
            if ((encoding != 1 && encoding != 0xFFFE) || bits != 16 || channels < 1 ||
                channels > 2 || rate < 1000 || rate > 192000) {
                return std::nullopt;
            }
            format = Pcm{{}, rate, static_cast<std::uint8_t>(channels)};
        } else if (id == "data") {
            if (!format) {
                return std::nullopt;
            }
            const qint64 available = std::min<qint64>(size, wav.size() - body);
            const qint64 frameBytes = 2 * format->channels;
            format->samples = wav.mid(body, available - available % frameBytes);
            if (format->samples.isEmpty()) {
                return std::nullopt;
            }
            return format;
        }
        offset = body + size + (size & 1);
    }
    return std::nullopt;
}

} // namespace quovant
