#include "formatting/ollama_formatter.h"

#include "core/quovant_error.h"
#include "core/unicode_text.h"
#include "formatting/developer_prompt_prompt.h"
#include "formatting/formatter_prompt.h"
#include "formatting/formatting_context.h"
#include "formatting/rewrite_prompt.h"
#include "loopback/local_service_endpoint.h"
#include "settings/log.h"

#include <QJsonArray>
#include <QJsonObject>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

// The names of the listed models; any shape other than {"models": [{...}, ...]} lists none.
QStringList modelNames(const QJsonDocument& document) {
    const QJsonValue models = document.object().value(u"models"_s);
    if (!document.isObject() || !models.isArray()) {
        return {};
    }
    QStringList names;
    for (const QJsonValue& entry : models.toArray()) {
        if (!entry.isObject()) {
            return {};
        }
        const QJsonValue name = entry.toObject().value(u"name"_s);
        if (name.isString()) {
            names.append(name.toString());
        }
    }
    return names;
}

} // namespace

OllamaFormatter::OllamaFormatter(const std::optional<QString>& endpoint, const QString& model,
                                 Timeouts timeouts)
    : m_endpoint(LocalServiceEndpoint::resolve(endpoint.value_or(QString()),
                                               LocalServiceEndpoint::kDefaultOllamaEndpoint)),
      m_model(model), m_timeouts(timeouts) {}

OllamaFormatter::OllamaFormatter(const std::optional<QString>& endpoint, const QString& model)
    : OllamaFormatter(endpoint, model, Timeouts{}) {}

OllamaFormatter::~OllamaFormatter() {
    m_probeClient.close();
    m_generationClient.close();
}

QString OllamaFormatter::name() const {
    return u"Ollama · "_s + m_model;
}

QCoro::Task<void> OllamaFormatter::prepare() {
    const std::weak_ptr<const bool> alive = m_lifetime;
    const QString endpointText = m_endpoint.toString();
    const QString unreachable = u"Ollama not reachable at "_s + endpointText;

    LocalHttpResponse response;
    try {
        response = co_await m_probeClient.get(
            LocalHttpClient::appendingPathComponent(m_endpoint, u"api/tags"_s), m_timeouts.probe);
    } catch (const LocalHttpError&) {
        if (!alive.expired()) {
            m_available = false;
            Log::warn(unreachable);
        }
        co_return;
    }
    if (alive.expired()) {
        co_return;
    }
    m_available = false;
    if (response.status != 200) {
        co_return;
    }
    QJsonDocument document;
    try {
        document = LocalHttpClient::parseJson(response.body);
    } catch (const LocalHttpError&) {
        Log::warn(unreachable);
        co_return;
    }
    const QStringList names = modelNames(document);
    m_available = names.contains(m_model);
    if (!m_available) {
        Log::warn(u"Ollama is running but '"_s + m_model + u"' is not pulled. Available: "_s +
                  names.join(u", "_s));
        co_return;
    }
    Log::info(u"Formatter ready · "_s + name());
    try {
        co_await generate(u"hi"_s, u"Reply with: ok"_s, 4);
    } catch (...) {
        // Warming is best effort; the first utterance reports a real failure.
    }
}

QCoro::Task<QString> OllamaFormatter::format(QString transcript, FormattingContext context) {
    requireAvailable();
    const qint64 budget = unicode::graphemeCount(transcript) / 2 + 128;
    co_return FormatterPrompt::sanitize(co_await generate(
        FormatterPrompt::prompt(transcript, context), FormatterPrompt::instructions(), budget));
}

QCoro::Task<QString> OllamaFormatter::rewrite(QString text, RewriteCommand command,
                                              FormattingContext context) {
    requireAvailable();
    const qint64 budget = unicode::graphemeCount(text) / 2 + 160;
    co_return FormatterPrompt::sanitize(co_await generate(
        RewritePrompt::prompt(text, command, context), RewritePrompt::instructions(), budget));
}

QCoro::Task<QString> OllamaFormatter::compileDeveloperPrompt(QString transcript,
                                                             FormattingContext context) {
    requireAvailable();
    const qint64 budget = unicode::graphemeCount(transcript) + 320;
    co_return FormatterPrompt::sanitize(
        co_await generate(DeveloperPromptPrompt::prompt(transcript, context),
                          DeveloperPromptPrompt::instructions(), budget));
}

void OllamaFormatter::abandonRequests() {
    m_generationClient.abandonAll();
}

void OllamaFormatter::requireAvailable() const {
    if (!m_available) {
        throw QuovantError::formatterUnavailable(u"Ollama model '"_s + m_model +
                                                 u"' is not available"_s);
    }
}

QByteArray OllamaFormatter::generationBody(const QString& model, const QString& prompt,
                                           const QString& system, qint64 maxTokens) {
    const QJsonObject options{
        {u"temperature"_s, 0},
        {u"num_predict"_s, maxTokens},
    };
    const QJsonObject body{
        {u"model"_s, model},  {u"prompt"_s, prompt}, {u"system"_s, system},
        {u"stream"_s, false}, {u"think"_s, false},   {u"options"_s, options},
    };
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

QCoro::Task<QString> OllamaFormatter::generate(QString prompt, QString system, qint64 maxTokens) {
    // The pipeline awaits one request at a time, so one still in flight was given up on; the
    // server would otherwise finish it before starting ours.
    m_generationClient.abandonAll();
    const LocalHttpResponse response = co_await m_generationClient.post(
        LocalHttpClient::appendingPathComponent(m_endpoint, u"api/generate"_s), "application/json",
        generationBody(m_model, prompt, system, maxTokens), m_timeouts.generation);
    // The formatter may be gone by now: only the reply is used from here on.
    if (response.status != 200) {
        throw QuovantError::formatterUnavailable(u"Ollama returned HTTP error"_s);
    }
    const QJsonDocument document = LocalHttpClient::parseJson(response.body);
    const QJsonValue answer = document.object().value(u"response"_s);
    co_return document.isObject() && answer.isString() ? answer.toString() : QString();
}

} // namespace quovant
