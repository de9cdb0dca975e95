#pragma once

#include "core/ports/asr_engine.h"
#include "loopback/local_http_client.h"

#include <QByteArray>
#include <QUrl>

#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

namespace quovant {

// A batch recogniser that buffers the utterance and sends it in one request to a whisper.cpp
// server on the loopback interface. `append` is thread-safe (capture thread); everything else
// runs on the main thread. Destroying the engine abandons its requests in flight.
class WhisperServerEngine final : public AsrEngine {
public:
    struct Timeouts {
        std::chrono::milliseconds probe{2000};
        std::chrono::milliseconds inference{60000};
    };

    // A non-loopback `endpoint` is replaced by the default local server.
    WhisperServerEngine(const QString& endpoint, const QString& language, Timeouts timeouts);
    WhisperServerEngine(const QString& endpoint, const QString& language);
    ~WhisperServerEngine() override;

    QString name() const override;
    bool isStreaming() const override { return false; }
    double requiredSampleRate() const override { return kSampleRate; }
    QUrl endpoint() const { return m_endpoint; }
    QString language() const { return m_language; }

    // Throws QuovantError (speechModelUnavailable) when no server answers.
    QCoro::Task<void> prepare() override;
    QCoro::Task<void> beginUtterance(QStringList contextualStrings) override;
    void append(const AudioChunk& chunk) override;
    // Throws QuovantError for a non-200 status, LocalHttpError for transport failures and
    // replies that are not JSON.
    QCoro::Task<QString> finishUtterance() override;
    QCoro::Task<void> cancelUtterance() override;

    // Aborts a recognition request in flight; its caller sees LocalHttpError (abandoned).
    void abandonRequests() override;

    // The multipart body of a recognition request. Consumes `samples` and releases them as soon
    // as they are encoded, so at most two renditions of the audio exist at once.
    static QByteArray inferenceBody(std::vector<float>&& samples, const QString& language,
                                    const QString& prompt, const QByteArray& boundary);
    // "palvane-" and a fresh upper-case UUID.
    static QByteArray makeBoundary();
    // Removes bracketed, parenthesised and asterisk-delimited asides and collapses white space.
    static QString stripAnnotations(const QString& text);

    static constexpr double kSampleRate = 16000;
    static constexpr int kMaxPromptStrings = 40;

private:
    struct Drained {
        std::vector<float> samples;
        QString prompt;
    };
    Drained drain();

    const QUrl m_endpoint;
    const QString m_language;
    const Timeouts m_timeouts;
    LocalHttpClient m_client;

    std::mutex m_lock;
    std::vector<float> m_buffer;
    QString m_contextPrompt;
};

} // namespace quovant
