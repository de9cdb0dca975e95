#pragma once

#include "support/test_support.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QCoroTask>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QUrl>

#include <chrono>
#include <deque>
#include <exception>
#include <optional>
#include <utility>

class QTcpSocket;

namespace quovant::testing {

// An HTTP/1.1 server on 127.0.0.1 for tests of the local-service clients. It records every
// request byte for byte and answers each one with the next scripted reply (or the default).
// Main thread only; it serves while the test awaits a task or calls waitForRequests.
class LocalHttpServer : public QObject {
public:
    struct Reply {
        enum class Action { answer, neverAnswer, close };

        int status = 200;
        QList<std::pair<QByteArray, QByteArray>> headers;
        QByteArray body;
        std::chrono::milliseconds delay{0};
        Action action = Action::answer;

        static Reply json(int status, QByteArray body);
        static Reply neverAnswer();
        static Reply closeConnection();
    };

    struct Request {
        QByteArray method;
        QByteArray target;
        QList<std::pair<QByteArray, QByteArray>> headers;
        QByteArray body;
        QByteArray raw;

        // The first header of that name (case-insensitive), if any.
        std::optional<QByteArray> header(const QByteArray& name) const;
    };

    // Listens on an ephemeral port, or on `port` when given (check isListening()).
    explicit LocalHttpServer(quint16 port = 0);
    ~LocalHttpServer() override;

    bool isListening() const { return m_server.isListening(); }
    quint16 port() const { return m_server.serverPort(); }
    QUrl url() const;

    void enqueue(Reply reply) { m_script.push_back(std::move(reply)); }
    void setDefaultReply(Reply reply) { m_default = std::move(reply); }

    const QList<Request>& requests() const { return m_requests; }
    int connectionCount() const { return m_connections; }
    // Connections the client has not closed yet.
    int openConnections() const { return static_cast<int>(m_buffers.size()); }
    // Runs the event loop until every connection is closed or the time is up.
    bool waitForNoOpenConnections(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Runs the event loop until `count` requests have arrived or the time is up.
    bool waitForRequests(int count, std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
    void accept();
    void consume(QTcpSocket* socket);
    void respond(QTcpSocket* socket, const Reply& reply);

    QTcpServer m_server;
    QHash<QTcpSocket*, QByteArray> m_buffers;
    std::deque<Reply> m_script;
    Reply m_default;
    QList<Request> m_requests;
    int m_connections = 0;
};

// Kept for the HTTP tests: the same as run().
template <typename T> T await(QCoro::Task<T>&& task) { return run(std::move(task)); }
inline void await(QCoro::Task<void>&& task) { run(std::move(task)); }

} // namespace quovant::testing
