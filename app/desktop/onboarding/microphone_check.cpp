#include "app/desktop/onboarding/microphone_check.h"

#include "core/quovant_error.h"

#include <QLocale>

#include <cmath>
#include <mutex>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

constexpr double kSampleRate = 16000;
// Below about −70 dBFS nothing but a muted or disconnected input produces this.
constexpr double kSilenceRms = 0.0003;

} // namespace

// Filled on the capture thread, read on the main thread after the capture stopped.
struct MicrophoneCheck::Meter {
    std::mutex mutex;
    int chunks = 0;
    double windowSum = 0;
    int windowCount = 0;
    int windowSize = 800; // 50 ms at the chunk's rate
    double loudest = 0;

    void add(const AudioChunk& chunk) {
        std::lock_guard lock(mutex);
        ++chunks;
        if (chunk.sampleRate > 0) {
            windowSize = std::max(1, int(chunk.sampleRate / 20));
        }
        for (const float sample : chunk.samples) {
            const double s = std::isfinite(sample) ? double(sample) : 0.0;
            windowSum += s * s;
            if (++windowCount >= windowSize) {
                loudest = std::max(loudest, std::sqrt(windowSum / windowCount));
                windowSum = 0;
                windowCount = 0;
            }
        }
    }
    double result() {
        std::lock_guard lock(mutex);
        double value = loudest;
        if (windowCount > 0) {
            value = std::max(value, std::sqrt(windowSum / windowCount));
        }
        return std::min(value, 1.0);
    }
};

MicrophoneCheck::MicrophoneCheck(std::shared_ptr<AudioCapturing> capture)
    : m_capture(std::move(capture)) {
    m_timer.setSingleShot(true);
    m_timer.setInterval(kDurationMs);
    QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { finish(); });
}

MicrophoneCheck::~MicrophoneCheck() {
    if (m_running && m_capture) {
        m_capture->stop();
        m_capture->onChunk = nullptr;
    }
}

bool MicrophoneCheck::start(std::function<void(const Result&)> done) {
    if (m_running) {
        return false;
    }
    m_done = std::move(done);
    if (!m_capture) {
        const Result result = describe(0, 0, u"There is no audio capture."_s);
        QTimer::singleShot(0, &m_timer, [this, result] {
            if (m_done) {
                m_done(result);
            }
        });
        return true;
    }
    m_meter = std::make_shared<Meter>();
    m_capture->onChunk = [meter = m_meter](const AudioChunk& chunk) { meter->add(chunk); };
    QString failure;
    try {
        m_capture->start(kSampleRate, false);
    } catch (const QuovantError& error) {
        failure = error.description();
    } catch (const std::exception& error) {
        failure = QString::fromLocal8Bit(error.what());
    }
    if (!failure.isEmpty()) {
        m_capture->onChunk = nullptr;
        const Result result = describe(0, 0, failure);
        QTimer::singleShot(0, &m_timer, [this, result] {
            if (m_done) {
                m_done(result);
            }
        });
        return true;
    }
    m_running = true;
    m_timer.start();
    return true;
}

void MicrophoneCheck::finish() {
    m_capture->stop();
    m_capture->onChunk = nullptr;
    m_running = false;
    int chunks = 0;
    {
        std::lock_guard lock(m_meter->mutex);
        chunks = m_meter->chunks;
    }
    const Result result = describe(chunks, m_meter->result());
    if (m_done) {
        m_done(result);
    }
}

MicrophoneCheck::Result MicrophoneCheck::describe(int chunks, double loudestRms,
                                                  const QString& failure) {
    Result result;
    if (!failure.isEmpty()) {
        result.message = u"The microphone could not start: "_s + failure;
        return result;
    }
    if (chunks == 0) {
        result.message = u"No sound arrived from the input source in one second."_s;
        return result;
    }
    const double level = std::isfinite(loudestRms) ? std::clamp(loudestRms, 0.0, 1.0) : 0.0;
    result.level = level;
    result.decibels = level > 0 ? std::max(-120.0, 20 * std::log10(level)) : -120.0;
    if (level < kSilenceRms) {
        result.message = u"Only silence arrived. Check that the right input is chosen and not "
                         "muted."_s;
        return result;
    }
    result.heardSound = true;
    result.message = u"Heard sound, loudest at "_s +
                     QLocale::c().toString(std::lround(result.decibels)).replace(u'-', u'−') +
                     u" dB."_s;
    return result;
}

} // namespace quovant
