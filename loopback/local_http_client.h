#pragma once

#include <QByteArray>
#include <QCoroTask>
#include <QJsonDocument>
#include <QString>
#include <QUrl>

#include <chrono>
#include <memory>
#include <stdexcept>

namespace quovant {

// An HTTP status line and body as received from a local service.
struct LocalHttpResponse {
    int status = 0;
    QByteArray body;

    bool operator==(const LocalHttpResponse&) const = default;
};

// A request to a local service that produced no usable HTTP response, or a reply body that is
// not the JSON it should be. `what()` names the operation and the URL.
class LocalHttpError : public std::runtime_error {
public:
    enum class Kind { transport, timedOut, abandoned, responseTooLarge, refused, invalidJson };

    LocalHttpError(Kind kind, const QString& message);

    Kind kind() const { return m_kind; }
    QString message() const { return QString::fromUtf8(what()); }

private:
    Kind m_kind;
};

// Requests to the HTTP services the user runs on this machine, one connection each. Main thread
// only; nothing blocks while a request is in flight. Memory stays bounded whatever a server sends.
// A copy shares the set of requests in flight with the original, so coroutines can keep a copy
// and never touch the object that started them after a suspension.
class LocalHttpClient {
public:
    // Replies larger than this are abandoned: no local service answers us with more, and a
    // misbehaving one must not exhaust memory.
    static constexpr qint64 kMaxResponseBytes = 8 * 1024 * 1024;

    LocalHttpClient();

    // Resolves once the status line and headers arrive; the body is not read. Throws
    // LocalHttpError when no response arrives within `timeout`.
    QCoro::Task<LocalHttpResponse> probe(QUrl url, std::chrono::milliseconds timeout) const;
    QCoro::Task<LocalHttpResponse> get(QUrl url, std::chrono::milliseconds timeout) const;
    QCoro::Task<LocalHttpResponse> post(QUrl url, QByteArray contentType, QByteArray body,
                                        std::chrono::milliseconds timeout) const;

    // Aborts every request in flight; their callers see LocalHttpError::Kind::abandoned. The
    // abort is posted to the event loop, so no caller resumes inside this call.
    void abandonAll() const;
    // As abandonAll, and every later request fails at once without a connection.
    void close() const;

    // The object or array in `body`; throws LocalHttpError (invalidJson) with the parser's
    // message otherwise.
    static QJsonDocument parseJson(const QByteArray& body);
    // `base` with one path component appended ("http://h:1" + "a" gives "http://h:1/a").
    static QUrl appendingPathComponent(const QUrl& base, const QString& component);

private:
    struct Exchange;
    struct Registry;
    enum class Mode { headersOnly, wholeBody };

    static QCoro::Task<LocalHttpResponse> send(std::shared_ptr<Registry> registry, QUrl url,
                                               QByteArray verb, QByteArray contentType,
                                               QByteArray body, Mode mode,
                                               std::chrono::milliseconds timeout);

    std::shared_ptr<Registry> m_registry;
};

} // namespace quovant
