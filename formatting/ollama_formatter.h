#pragma once

#include "core/ports/text_formatter.h"
#include "loopback/local_http_client.h"

#include <QByteArray>
#include <QUrl>

#include <chrono>
#include <memory>
#include <optional>

namespace quovant {

// The formatter backed by an Ollama server on the loopback interface: one non-streaming
// generation request per utterance. Main thread only. Requests are served one at a time: a new
// generation abandons one still in flight (its caller has already given up on it), and
// destroying the formatter abandons them all.
class OllamaFormatter final : public TextFormatter {
public:
    struct Timeouts {
        std::chrono::milliseconds probe{2000};
        std::chrono::milliseconds generation{30000};
    };

    // A missing or non-loopback `endpoint` is replaced by the default local server.
    OllamaFormatter(const std::optional<QString>& endpoint, const QString& model,
                    Timeouts timeouts);
    OllamaFormatter(const std::optional<QString>& endpoint, const QString& model);
    ~OllamaFormatter() override;

    QString name() const override;
    bool isAvailable() const override { return m_available; }
    QUrl endpoint() const { return m_endpoint; }
    QString model() const { return m_model; }

    // Lists the server's models and, when ours is there, warms it; never throws.
    QCoro::Task<void> prepare() override;
    // The three modes throw QuovantError (formatterUnavailable) when the model is unavailable
    // or the server answers with an error status, and LocalHttpError for transport failures and
    // replies that are not JSON.
    QCoro::Task<QString> format(QString transcript, FormattingContext context) override;
    QCoro::Task<QString> rewrite(QString text, RewriteCommand command,
                                 FormattingContext context) override;
    QCoro::Task<QString> compileDeveloperPrompt(QString transcript,
                                                FormattingContext context) override;

    // Aborts the generation in flight; its caller sees LocalHttpError (abandoned).
    void abandonRequests() override;

    // The JSON body of one generation request.
    static QByteArray generationBody(const QString& model, const QString& prompt,
                                     const QString& system, qint64 maxTokens);

private:
    QCoro::Task<QString> generate(QString prompt, QString system, qint64 maxTokens);
    void requireAvailable() const;

    const QUrl m_endpoint;
    const QString m_model;
    const Timeouts m_timeouts;
    LocalHttpClient m_probeClient;
    LocalHttpClient m_generationClient;
    // Lets a suspended probe find out that the formatter went away meanwhile.
    std::shared_ptr<const bool> m_lifetime = std::make_shared<const bool>(true);
    bool m_available = false;
};

} // namespace quovant
