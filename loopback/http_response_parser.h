#pragma once

#include <QByteArray>
#include <QList>

#include <optional>
#include <utility>

namespace quovant {

// An incremental HTTP/1.1 response reader with hard limits, fed bytes as they arrive. It never
// holds more than the header limit plus the body limit, whatever the server sends, so a local
// program that streams forever cannot exhaust memory.
class HttpResponseParser {
public:
    enum class Phase { statusLine, headers, body, chunkSize, chunkData, chunkEnd, trailers, done, failed };
    enum class Failure { none, malformed, tooLarge };

    static constexpr qsizetype kMaxHeaderBytes = 64 * 1024;

    explicit HttpResponseParser(qsizetype maxBodyBytes) : m_maxBody(maxBodyBytes) {}

    // Consumes `bytes`; returns false once the response is malformed or over a limit.
    bool feed(QByteArrayView bytes);
    // The connection closed: a body without a length ends here; anything else is cut short.
    void finishOnClose();

    // The final status line and its headers have arrived (even if the body is then refused).
    bool headersComplete() const { return m_headersDone; }
    bool complete() const { return m_phase == Phase::done; }
    bool failed() const { return m_phase == Phase::failed; }
    Failure failure() const { return m_failure; }
    int status() const { return m_status; }
    const QByteArray& body() const { return m_body; }
    QByteArray takeBody() { return std::exchange(m_body, {}); }
    // The first header of that name (case-insensitive).
    std::optional<QByteArray> header(QByteArrayView name) const;

private:
    bool fail(Failure failure);
    // A complete line (without CRLF) from what was kept over and `input`, which it advances; or
    // nullopt when more bytes are needed (the start of the line is kept over).
    std::optional<QByteArray> takeLine(QByteArrayView& input, qsizetype limit);
    bool parseStatusLine(const QByteArray& line);
    bool startBody();
    bool appendBody(QByteArrayView bytes);

    Phase m_phase = Phase::statusLine;
    Failure m_failure = Failure::none;
    qsizetype m_maxBody;
    QByteArray m_pending;
    qsizetype m_headerBytes = 0;
    int m_status = 0;
    bool m_headersDone = false;
    QList<std::pair<QByteArray, QByteArray>> m_headers;
    std::optional<qint64> m_remaining;
    QByteArray m_body;
};

} // namespace quovant
