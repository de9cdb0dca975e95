#include "speech/whisper_server_engine.h"

#include "core/quovant_error.h"
#include "core/unicode_text.h"
#include "loopback/local_service_endpoint.h"
#include "settings/log.h"
#include "speech/wav_encoder.h"

#include <QCoroFuture>
#include <QJsonObject>
#include <QPromise>
#include <QStringDecoder>
#include <QThreadPool>
#include <QUuid>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

// Room for ten seconds of speech before the capture thread has to grow the buffer.
constexpr std::size_t kInitialCapacity = 10 * 16000;

void appendField(QByteArray& body, const QByteArray& boundary, const char* name,
                 const QString& value) {
    body += "--" + boundary + "\r\n";
    body += "Content-Disposition: form-data; name=\"";
    body += name;
    body += "\"\r\n\r\n";
    body += value.toUtf8();
    body += "\r\n";
}

// Encoding minutes of audio takes milliseconds; keep it off the main thread.
QCoro::Task<QByteArray> inferenceBodyInPool(std::vector<float> samples, QString language,
                                            QString prompt, QByteArray boundary) {
    struct Job {
        QPromise<QByteArray> promise;
        std::vector<float> samples;
        QString language;
        QString prompt;
        QByteArray boundary;
    };
    auto job = std::make_shared<Job>();
    job->samples = std::move(samples);
    job->language = std::move(language);
    job->prompt = std::move(prompt);
    job->boundary = std::move(boundary);
    QFuture<QByteArray> future = job->promise.future();
    job->promise.start();
    QThreadPool::globalInstance()->start([job] {
        try {
            job->promise.addResult(WhisperServerEngine::inferenceBody(
                std::move(job->samples), job->language, job->prompt, job->boundary));
        } catch (...) {
            job->promise.setException(std::current_exception());
        }
        job->promise.finish();
    });
    co_return co_await future;
}

} // namespace

WhisperServerEngine::WhisperServerEngine(const QString& endpoint, const QString& language,
                                         Timeouts timeouts)
    : m_endpoint(
          LocalServiceEndpoint::resolve(endpoint, LocalServiceEndpoint::kDefaultWhisperEndpoint)),
      m_language(language), m_timeouts(timeouts) {}

WhisperServerEngine::WhisperServerEngine(const QString& endpoint, const QString& language)
    : WhisperServerEngine(endpoint, language, Timeouts{}) {}

WhisperServerEngine::~WhisperServerEngine() {
    m_client.close();
}

QString WhisperServerEngine::name() const {
    return u"whisper.cpp server"_s;
}

QCoro::Task<void> WhisperServerEngine::prepare() {
    const QString endpointText = m_endpoint.toString();
    try {
        co_await m_client.probe(m_endpoint, m_timeouts.probe);
    } catch (const LocalHttpError&) {
        throw QuovantError::speechModelUnavailable(
            u"no whisper.cpp server at "_s + endpointText +
            u". Start one with: whisper-server -m <model.bin> --port 8080"_s);
    }
    Log::info(u"ASR ready · whisper.cpp server at "_s + endpointText);
}

QCoro::Task<void> WhisperServerEngine::beginUtterance(QStringList contextualStrings) {
    const QString prompt = contextualStrings.mid(0, kMaxPromptStrings).join(u", "_s);
    std::lock_guard lock(m_lock);
    m_buffer.clear();
    m_buffer.reserve(kInitialCapacity);
    m_contextPrompt = prompt;
    co_return;
}

void WhisperServerEngine::append(const AudioChunk& chunk) {
    std::lock_guard lock(m_lock);
    m_buffer.insert(m_buffer.end(), chunk.samples.begin(), chunk.samples.end());
}

WhisperServerEngine::Drained WhisperServerEngine::drain() {
    std::lock_guard lock(m_lock);
    Drained drained{std::exchange(m_buffer, {}), m_contextPrompt};
    return drained;
}

QCoro::Task<QString> WhisperServerEngine::finishUtterance() {
    Drained drained = drain();
    if (drained.samples.empty()) {
        co_return QString();
    }
    // Nothing below touches the engine after a suspension: it may be gone by then.
    const LocalHttpClient client = m_client;
    const QUrl url = LocalHttpClient::appendingPathComponent(m_endpoint, u"inference"_s);
    const std::chrono::milliseconds timeout = m_timeouts.inference;
    const QByteArray boundary = makeBoundary();

    QByteArray body = co_await inferenceBodyInPool(std::move(drained.samples), m_language,
                                                   drained.prompt, boundary);
    const LocalHttpResponse response = co_await client.post(
        url, "multipart/form-data; boundary=" + boundary, std::move(body), timeout);
    if (response.status != 200) {
        throw QuovantError::speechModelUnavailable(u"whisper server returned an error"_s);
    }
    const QJsonDocument document = LocalHttpClient::parseJson(response.body);
    QString raw;
    const QJsonValue text = document.isObject() ? document.object().value(u"text"_s) : QJsonValue();
    if (text.isString()) {
        raw = text.toString();
    } else {
        QStringDecoder decoder(QStringDecoder::Utf8);
        raw = decoder.decode(response.body);
        if (decoder.hasError()) {
            raw.clear();
        }
    }
    co_return stripAnnotations(raw);
}

QCoro::Task<void> WhisperServerEngine::cancelUtterance() {
    drain();
    co_return;
}

void WhisperServerEngine::abandonRequests() {
    m_client.abandonAll();
}

QByteArray WhisperServerEngine::inferenceBody(std::vector<float>&& samples, const QString& language,
                                              const QString& prompt, const QByteArray& boundary) {
    QByteArray wav = WavEncoder::encode(samples, kSampleRate);
    std::vector<float>().swap(samples);

    const QByteArray head = "--" + boundary +
                            "\r\n"
                            "Content-Disposition: form-data; name=\"file\"; "
                            "filename=\"utterance.wav\"\r\n"
                            "Content-Type: audio/wav\r\n\r\n";
    QByteArray fields = "\r\n";
    appendField(fields, boundary, "temperature", u"0.0"_s);
    appendField(fields, boundary, "response_format", u"json"_s);
    appendField(fields, boundary, "language", unicode::leftGraphemes(language, 2));
    if (!prompt.isEmpty()) {
        appendField(fields, boundary, "prompt", prompt);
    }
    fields += "--" + boundary + "--\r\n";

    QByteArray body;
    body.reserve(head.size() + wav.size() + fields.size());
    body += head;
    body += wav;
    wav = QByteArray();
    body += fields;
    return body;
}

QByteArray WhisperServerEngine::makeBoundary() {
    return "palvane-" + QUuid::createUuid().toByteArray(QUuid::WithoutBraces).toUpper();
}

QString WhisperServerEngine::stripAnnotations(const QString& text) {
    static const unicode::Regex kBracketed(u"\\[[^\\]]*\\]"_s);
    static const unicode::Regex kParenthesised(u"\\([^\\)]*\\)"_s);
    static const unicode::Regex kStarred(u"\\*[^\\*]*\\*"_s);
    static const unicode::Regex kWhitespace(u"\\s+"_s);
    QString result = kBracketed.replaceAll(text, QString());
    result = kParenthesised.replaceAll(result, QString());
    result = kStarred.replaceAll(result, QString());
    result = kWhitespace.replaceAll(result, u" "_s);
    return unicode::trimmedWhitespace(result);
}

} // namespace quovant
