#include "loopback/local_http_client.h"

#include "loopback/http_response_parser.h"
#include "loopback/local_service_endpoint.h"

#include <QJsonParseError>
#include <QNetworkProxy>
#include <QTcpSocket>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <coroutine>
#include <vector>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

// What the socket may hold before we read it: with a bound, Qt stops reading from the kernel and
// TCP flow control holds a server that streams faster than we consume.
constexpr qint64 kSocketBufferBytes = 64 * 1024;

QString describe(const QByteArray& verb, const QUrl& url) {
    return QString::fromLatin1(verb) + u' ' + url.toString();
}

QByteArray requestHead(const QByteArray& verb, const QUrl& url, const QByteArray& contentType,
                       qsizetype bodySize) {
    QByteArray target = url.path(QUrl::FullyEncoded).toUtf8();
    if (target.isEmpty()) {
        target = "/";
    }
    if (url.hasQuery()) {
        target += '?' + url.query(QUrl::FullyEncoded).toUtf8();
    }
    QByteArray head = verb + ' ' + target + " HTTP/1.1\r\nHost: " +
                      url.host(QUrl::FullyEncoded).toUtf8() + ':' +
                      QByteArray::number(url.port(80)) +
                      "\r\nConnection: close\r\nAccept-Encoding: identity\r\n";
    if (!contentType.isEmpty()) {
        head += "Content-Type: " + contentType + "\r\n";
    }
    if (verb == "POST") {
        head += "Content-Length: " + QByteArray::number(bodySize) + "\r\n";
    }
    return head + "\r\n";
}

} // namespace

// One request in flight: its socket, its response reader and the coroutine waiting for it.
struct LocalHttpClient::Exchange {
    explicit Exchange(qsizetype maxBody) : parser(maxBody) {}

    enum class Outcome { pending, response, timedOut, abandoned, transport };

    QPointer<QTcpSocket> socket;
    HttpResponseParser parser;
    Outcome outcome = Outcome::pending;
    QString transportError;
    std::coroutine_handle<> waiter;

    void end(Outcome result) {
        if (outcome != Outcome::pending) {
            return;
        }
        outcome = result;
        if (socket) {
            socket->disconnect();
            socket->abort();
            socket->deleteLater();
        }
        if (auto caller = std::exchange(waiter, {})) {
            caller.resume();
        }
    }

    struct Awaiter {
        std::shared_ptr<Exchange> exchange;
        bool await_ready() const noexcept { return exchange->outcome != Outcome::pending; }
        void await_suspend(std::coroutine_handle<> caller) { exchange->waiter = caller; }
        void await_resume() const noexcept {}
    };
};

struct LocalHttpClient::Registry {
    std::vector<std::weak_ptr<Exchange>> pending;
    bool closed = false;
};

LocalHttpError::LocalHttpError(Kind kind, const QString& message)
    : std::runtime_error(message.toStdString()), m_kind(kind) {}

LocalHttpClient::LocalHttpClient() : m_registry(std::make_shared<Registry>()) {}

QCoro::Task<LocalHttpResponse> LocalHttpClient::probe(QUrl url,
                                                      std::chrono::milliseconds timeout) const {
    return send(m_registry, std::move(url), "GET", {}, {}, Mode::headersOnly, timeout);
}

QCoro::Task<LocalHttpResponse> LocalHttpClient::get(QUrl url,
                                                    std::chrono::milliseconds timeout) const {
    return send(m_registry, std::move(url), "GET", {}, {}, Mode::wholeBody, timeout);
}

QCoro::Task<LocalHttpResponse> LocalHttpClient::post(QUrl url, QByteArray contentType,
                                                     QByteArray body,
                                                     std::chrono::milliseconds timeout) const {
    return send(m_registry, std::move(url), "POST", std::move(contentType), std::move(body),
                Mode::wholeBody, timeout);
}

void LocalHttpClient::abandonAll() const {
    for (const std::weak_ptr<Exchange>& pending : m_registry->pending) {
        if (auto exchange = pending.lock(); exchange && exchange->socket) {
            QMetaObject::invokeMethod(
                exchange->socket, [exchange] { exchange->end(Exchange::Outcome::abandoned); },
                Qt::QueuedConnection);
        }
    }
}

void LocalHttpClient::close() const {
    m_registry->closed = true;
    abandonAll();
}

QCoro::Task<LocalHttpResponse> LocalHttpClient::send(std::shared_ptr<Registry> registry, QUrl url,
                                                     QByteArray verb, QByteArray contentType,
                                                     QByteArray body, Mode mode,
                                                     std::chrono::milliseconds timeout) {
    if (!LocalServiceEndpoint::isAllowed(url)) {
        throw LocalHttpError(LocalHttpError::Kind::refused,
                             u"Refused to contact a service off this machine: "_s +
                                 describe(verb, url));
    }
    if (registry->closed) {
        throw LocalHttpError(LocalHttpError::Kind::abandoned,
                             u"Request abandoned: "_s + describe(verb, url));
    }

    auto exchange = std::make_shared<Exchange>(kMaxResponseBytes);
    std::erase_if(registry->pending, [](const std::weak_ptr<Exchange>& e) { return e.expired(); });
    registry->pending.push_back(exchange);

    // A plain socket, not the network access manager: no proxy from the environment, no
    // redirects, no cookies or caches, and reading is bounded from the socket up.
    auto* socket = new QTcpSocket();
    exchange->socket = socket;
    socket->setProxy(QNetworkProxy::NoProxy);
    socket->setReadBufferSize(kSocketBufferBytes);
    // The socket's handlers hold the exchange weakly: it goes with the awaiting coroutine.
    const std::weak_ptr<Exchange> weak = exchange;

    QTimer::singleShot(timeout, socket, [weak] {
        if (auto live = weak.lock()) {
            live->end(Exchange::Outcome::timedOut);
        }
    });
    QObject::connect(socket, &QTcpSocket::connected, socket,
                     [socket, head = requestHead(verb, url, contentType, body.size()),
                      payload = std::move(body)]() mutable {
                         socket->write(head);
                         socket->write(payload);
                         payload.clear();
                     });
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [weak, socket, mode] {
        auto live = weak.lock();
        while (live && socket->bytesAvailable() > 0 &&
               live->outcome == Exchange::Outcome::pending) {
            const bool usable = live->parser.feed(socket->read(kSocketBufferBytes));
            if (!usable || live->parser.complete() ||
                (mode == Mode::headersOnly && live->parser.headersComplete())) {
                live->end(Exchange::Outcome::response);
                return;
            }
        }
    });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, [weak, socket] {
        auto live = weak.lock();
        if (!live) {
            return;
        }
        if (socket->bytesAvailable() > 0) {
            live->parser.feed(socket->readAll());
        }
        live->parser.finishOnClose();
        live->end(Exchange::Outcome::response);
    });
    QObject::connect(socket, &QTcpSocket::errorOccurred, socket,
                     [weak, socket](QAbstractSocket::SocketError error) {
                         auto live = weak.lock();
                         if (!live || error == QAbstractSocket::RemoteHostClosedError) {
                             return; // `disconnected` decides whether the answer was whole
                         }
                         live->transportError = socket->errorString();
                         live->end(Exchange::Outcome::transport);
                     });
    socket->connectToHost(url.host(), static_cast<quint16>(url.port(80)));

    co_await Exchange::Awaiter{exchange};

    const HttpResponseParser& parser = exchange->parser;
    switch (exchange->outcome) {
    case Exchange::Outcome::abandoned:
        throw LocalHttpError(LocalHttpError::Kind::abandoned,
                             u"Request abandoned: "_s + describe(verb, url));
    case Exchange::Outcome::timedOut:
        throw LocalHttpError(LocalHttpError::Kind::timedOut,
                             u"No reply to "_s + describe(verb, url) + u" within "_s +
                                 QString::number(timeout.count()) + u" ms"_s);
    case Exchange::Outcome::transport:
        throw LocalHttpError(LocalHttpError::Kind::transport,
                             describe(verb, url) + u" failed: "_s + exchange->transportError);
    case Exchange::Outcome::pending:
    case Exchange::Outcome::response:
        break;
    }
    if (mode == Mode::headersOnly && parser.headersComplete()) {
        co_return LocalHttpResponse{parser.status(), {}};
    }
    if (parser.failure() == HttpResponseParser::Failure::tooLarge) {
        throw LocalHttpError(LocalHttpError::Kind::responseTooLarge,
                             u"The reply to "_s + describe(verb, url) + u" exceeds "_s +
                                 QString::number(kMaxResponseBytes / (1024 * 1024)) + u" MiB"_s);
    }
    if (!parser.complete()) {
        throw LocalHttpError(LocalHttpError::Kind::transport,
                             describe(verb, url) + u" failed: the reply was malformed or cut short"_s);
    }
    co_return LocalHttpResponse{parser.status(), exchange->parser.takeBody()};
}

QJsonDocument LocalHttpClient::parseJson(const QByteArray& body) {
    QJsonParseError error{};
    QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError) {
        throw LocalHttpError(LocalHttpError::Kind::invalidJson,
                             u"The reply is not valid JSON: "_s + error.errorString() +
                                 u" at offset "_s + QString::number(error.offset));
    }
    return document;
}

QUrl LocalHttpClient::appendingPathComponent(const QUrl& base, const QString& component) {
    QUrl url = base;
    QString path = url.path();
    if (!path.endsWith(u'/')) {
        path += u'/';
    }
    url.setPath(path + component);
    return url;
}

} // namespace quovant
