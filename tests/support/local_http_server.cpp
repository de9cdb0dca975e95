#include "support/local_http_server.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

namespace quovant::testing {

namespace {

QByteArray reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

} // namespace

LocalHttpServer::Reply LocalHttpServer::Reply::json(int status, QByteArray body) {
    Reply reply;
    reply.status = status;
    reply.headers = {{"Content-Type", "application/json; charset=utf-8"}};
    reply.body = std::move(body);
    return reply;
}

LocalHttpServer::Reply LocalHttpServer::Reply::neverAnswer() {
    Reply reply;
    reply.action = Action::neverAnswer;
    return reply;
}

LocalHttpServer::Reply LocalHttpServer::Reply::closeConnection() {
    Reply reply;
    reply.action = Action::close;
    return reply;
}

std::optional<QByteArray> LocalHttpServer::Request::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return std::nullopt;
}

LocalHttpServer::LocalHttpServer(quint16 port) {
    QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] { accept(); });
    m_server.listen(QHostAddress::LocalHost, port);
}

LocalHttpServer::~LocalHttpServer() {
    // Open sockets are destroyed after this object's members; their handlers must not run then.
    for (QObject* owner : {static_cast<QObject*>(this), static_cast<QObject*>(&m_server)}) {
        for (QTcpSocket* socket : owner->findChildren<QTcpSocket*>()) {
            QObject::disconnect(socket, nullptr, this, nullptr);
        }
    }
    m_server.close();
}

QUrl LocalHttpServer::url() const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port()));
}

bool LocalHttpServer::waitForRequests(int count, std::chrono::milliseconds timeout) {
    QDeadlineTimer deadline(timeout);
    while (m_requests.size() < count && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return m_requests.size() >= count;
}

bool LocalHttpServer::waitForNoOpenConnections(std::chrono::milliseconds timeout) {
    QDeadlineTimer deadline(timeout);
    while (!m_buffers.isEmpty() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return m_buffers.isEmpty();
}

void LocalHttpServer::accept() {
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        ++m_connections;
        m_buffers.insert(socket, {});
        QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket] { consume(socket); });
        QObject::connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_buffers.remove(socket);
            socket->deleteLater();
        });
    }
}

void LocalHttpServer::consume(QTcpSocket* socket) {
    QByteArray& buffer = m_buffers[socket];
    buffer += socket->readAll();
    for (;;) {
        const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0) {
            return;
        }
        Request request;
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        qsizetype contentLength = 0;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines[i].trimmed();
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0) {
                continue;
            }
            QByteArray name = line.left(colon).trimmed();
            QByteArray value = line.mid(colon + 1).trimmed();
            if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
                contentLength = value.toLongLong();
            }
            request.headers.append({std::move(name), std::move(value)});
        }
        const qsizetype total = headerEnd + 4 + contentLength;
        if (buffer.size() < total) {
            return;
        }
        request.raw = buffer.left(total);
        request.body = buffer.mid(headerEnd + 4, contentLength);
        buffer.remove(0, total);
        m_requests.append(std::move(request));

        Reply reply = m_default;
        if (!m_script.empty()) {
            reply = std::move(m_script.front());
            m_script.pop_front();
        }
        if (reply.delay.count() > 0) {
            QTimer::singleShot(reply.delay, socket,
                               [this, socket, reply] { respond(socket, reply); });
        } else {
            respond(socket, reply);
        }
    }
}

void LocalHttpServer::respond(QTcpSocket* socket, const Reply& reply) {
    switch (reply.action) {
    case Reply::Action::neverAnswer:
        return;
    case Reply::Action::close:
        socket->disconnectFromHost();
        return;
    case Reply::Action::answer:
        break;
    }
    QByteArray head =
        "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reasonPhrase(reply.status) + "\r\n";
    bool hasLength = false;
    for (const auto& [name, value] : reply.headers) {
        hasLength = hasLength || name.compare("Content-Length", Qt::CaseInsensitive) == 0;
        head += name + ": " + value + "\r\n";
    }
    if (!hasLength) {
        head += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    }
    head += "Connection: close\r\n\r\n";
    socket->write(head);
    socket->write(reply.body);
    socket->disconnectFromHost();
}

} // namespace quovant::testing
