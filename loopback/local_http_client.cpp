#include "loopback/local_http_client.h"

#include "loopback/local_service_endpoint.h"

#include <QCoreApplication>
#include <QCoroNetworkReply>
#include <QJsonParseError>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <vector>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

struct ReplyState {
    QByteArray body;
    bool headersSeen = false;
    bool tooLarge = false;
    bool timedOut = false;
    bool abandoned = false;
};

QNetworkAccessManager* sharedManager() {
    static thread_local QPointer<QNetworkAccessManager> manager;
    if (!manager) {
        QObject* parent = QCoreApplication::instance();
        if (parent && parent->thread() != QThread::currentThread()) {
            parent = nullptr;
        }
        manager = new QNetworkAccessManager(parent);
        // Loopback traffic must never detour through a proxy from the environment, nor follow
        // a redirect to another host: the recording and the user's words stay on this machine.
        manager->setProxy(QNetworkProxy::NoProxy);
        manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    }
    return manager;
}

bool isTransportFailure(QNetworkReply::NetworkError error) {
    // Codes below 200 are connection, proxy and abort failures; from 200 on, the server answered
    // with a status line and the reply carries it.
    return error != QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied;
}

QString describe(const QByteArray& verb, const QUrl& url) {
    return QString::fromLatin1(verb) + u' ' + url.toString();
}

} // namespace

struct LocalHttpClient::Registry {
    struct Pending {
        QPointer<QNetworkReply> reply;
        std::shared_ptr<ReplyState> state;
    };
    std::vector<Pending> pending;
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
    for (const Registry::Pending& pending : m_registry->pending) {
        if (!pending.reply) {
            continue;
        }
        pending.state->abandoned = true;
        QPointer<QNetworkReply> reply = pending.reply;
        QMetaObject::invokeMethod(
            reply, [reply] { reply->abort(); }, Qt::QueuedConnection);
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

    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    if (!contentType.isEmpty()) {
        request.setRawHeader("Content-Type", contentType);
    }
    QNetworkAccessManager* manager = sharedManager();
    QNetworkReply* reply = verb == "POST" ? manager->post(request, body) : manager->get(request);
    body.clear();

    auto state = std::make_shared<ReplyState>();
    registry->pending.push_back({reply, state});

    QTimer::singleShot(timeout, reply, [reply, state] {
        state->timedOut = true;
        reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, state, mode] {
        if (!reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()) {
            return;
        }
        state->headersSeen = true;
        const qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
        if (mode == Mode::headersOnly) {
            reply->abort();
        } else if (announced > kMaxResponseBytes) {
            state->tooLarge = true;
            reply->abort();
        }
    });
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, state] {
        if (state->tooLarge || reply->isFinished()) {
            return;
        }
        state->body += reply->read(kMaxResponseBytes + 1 - state->body.size());
        if (state->body.size() > kMaxResponseBytes) {
            state->tooLarge = true;
            state->body = QByteArray();
            reply->abort();
        }
    });

    co_await reply;

    std::erase_if(registry->pending, [reply](const Registry::Pending& pending) {
        return !pending.reply || pending.reply == reply;
    });
    reply->deleteLater();

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (mode == Mode::headersOnly && state->headersSeen && status.isValid()) {
        co_return LocalHttpResponse{status.toInt(), {}};
    }
    if (state->tooLarge) {
        throw LocalHttpError(LocalHttpError::Kind::responseTooLarge,
                             u"The reply to "_s + describe(verb, url) + u" exceeds "_s +
                                 QString::number(kMaxResponseBytes / (1024 * 1024)) + u" MiB"_s);
    }
    if (state->abandoned && reply->error() == QNetworkReply::OperationCanceledError) {
        throw LocalHttpError(LocalHttpError::Kind::abandoned,
                             u"Request abandoned: "_s + describe(verb, url));
    }
    if (state->timedOut && reply->error() == QNetworkReply::OperationCanceledError) {
        throw LocalHttpError(LocalHttpError::Kind::timedOut,
                             u"No reply to "_s + describe(verb, url) + u" within "_s +
                                 QString::number(timeout.count()) + u" ms"_s);
    }
    if (isTransportFailure(reply->error()) || !status.isValid()) {
        throw LocalHttpError(LocalHttpError::Kind::transport,
                             describe(verb, url) + u" failed: "_s + reply->errorString());
    }
    if (state->body.size() < kMaxResponseBytes + 1) {
        state->body += reply->read(kMaxResponseBytes + 1 - state->body.size());
    }
    if (state->body.size() > kMaxResponseBytes) {
        throw LocalHttpError(LocalHttpError::Kind::responseTooLarge,
                             u"The reply to "_s + describe(verb, url) + u" exceeds "_s +
                                 QString::number(kMaxResponseBytes / (1024 * 1024)) + u" MiB"_s);
    }
    co_return LocalHttpResponse{status.toInt(), std::move(state->body)};
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
