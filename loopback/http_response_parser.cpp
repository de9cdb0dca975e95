#include "loopback/http_response_parser.h"

#include <algorithm>

namespace quovant {

namespace {

constexpr qsizetype kMaxChunkLine = 1024;

} // namespace

bool HttpResponseParser::fail(Failure failure) {
    m_phase = Phase::failed;
    m_failure = failure;
    m_pending.clear();
    m_body.clear();
    return false;
}

std::optional<QByteArray> HttpResponseParser::takeLine(qsizetype limit) {
    const qsizetype end = m_pending.indexOf('\n');
    if (end < 0) {
        if (m_pending.size() > limit) {
            fail(Failure::tooLarge);
        }
        return std::nullopt;
    }
    if (end > limit) {
        fail(Failure::tooLarge);
        return std::nullopt;
    }
    QByteArray line = m_pending.left(end);
    m_pending.remove(0, end + 1);
    if (line.endsWith('\r')) {
        line.chop(1);
    }
    return line;
}

bool HttpResponseParser::parseStatusLine(const QByteArray& line) {
    // "HTTP/1.1 200 OK": the version, a blank and a three-digit code.
    if (!line.startsWith("HTTP/1.") || line.size() < 12 || line.at(8) != ' ') {
        return fail(Failure::malformed);
    }
    bool ok = false;
    const int status = line.mid(9, 3).toInt(&ok);
    if (!ok || status < 100 || status > 999 || (line.size() > 12 && line.at(12) != ' ')) {
        return fail(Failure::malformed);
    }
    m_status = status;
    return true;
}

std::optional<QByteArray> HttpResponseParser::header(QByteArrayView name) const {
    for (const auto& [key, value] : m_headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return std::nullopt;
}

bool HttpResponseParser::startBody() {
    if (m_status < 200) {
        // An interim answer (100 Continue): the real one follows.
        m_headers.clear();
        m_phase = Phase::statusLine;
        return true;
    }
    m_headersDone = true;
    const auto encoding = header("Transfer-Encoding");
    if (encoding && encoding->trimmed().toLower().endsWith("chunked")) {
        m_phase = Phase::chunkSize;
        return true;
    }
    if (const auto length = header("Content-Length")) {
        bool ok = false;
        const qint64 value = length->trimmed().toLongLong(&ok);
        if (!ok || value < 0) {
            return fail(Failure::malformed);
        }
        if (value > m_maxBody) {
            return fail(Failure::tooLarge);
        }
        m_remaining = value;
    }
    if (m_status == 204 || m_status == 304 || m_remaining == 0) {
        m_phase = Phase::done;
        return true;
    }
    m_phase = Phase::body;
    return true;
}

bool HttpResponseParser::appendBody(QByteArrayView bytes) {
    if (m_body.size() + bytes.size() > m_maxBody) {
        return fail(Failure::tooLarge);
    }
    m_body.append(bytes);
    return true;
}

bool HttpResponseParser::feed(QByteArrayView bytes) {
    if (m_phase == Phase::failed) {
        return false;
    }
    if (m_phase == Phase::done) {
        return true;
    }
    m_pending.append(bytes);
    while (true) {
        switch (m_phase) {
        case Phase::statusLine:
        case Phase::headers:
        case Phase::trailers: {
            const qsizetype before = m_pending.size();
            const auto line = takeLine(kMaxHeaderBytes - m_headerBytes);
            if (!line) {
                return !failed();
            }
            m_headerBytes += before - m_pending.size();
            if (m_phase == Phase::statusLine) {
                if (!parseStatusLine(*line)) {
                    return false;
                }
                m_phase = Phase::headers;
            } else if (line->isEmpty()) {
                if (m_phase == Phase::trailers) {
                    m_phase = Phase::done;
                } else if (!startBody()) {
                    return false;
                }
            } else if (m_phase == Phase::headers) {
                const qsizetype colon = line->indexOf(':');
                if (colon <= 0) {
                    return fail(Failure::malformed);
                }
                m_headers.append({line->left(colon).trimmed(), line->mid(colon + 1).trimmed()});
            }
            break;
        }
        case Phase::body: {
            if (m_remaining) {
                const qsizetype take =
                    static_cast<qsizetype>(std::min<qint64>(*m_remaining, m_pending.size()));
                if (!appendBody(QByteArrayView(m_pending).first(take))) {
                    return false;
                }
                m_pending.remove(0, take);
                *m_remaining -= take;
                if (*m_remaining == 0) {
                    m_phase = Phase::done;
                }
            } else {
                if (!appendBody(m_pending)) {
                    return false;
                }
                m_pending.clear();
            }
            return true;
        }
        case Phase::chunkSize: {
            const auto line = takeLine(kMaxChunkLine);
            if (!line) {
                return !failed();
            }
            bool ok = false;
            const qint64 size = line->split(';').value(0).trimmed().toLongLong(&ok, 16);
            if (!ok || size < 0) {
                return fail(Failure::malformed);
            }
            if (size > m_maxBody - m_body.size()) {
                return fail(Failure::tooLarge);
            }
            m_remaining = size;
            m_phase = size == 0 ? Phase::trailers : Phase::chunkData;
            break;
        }
        case Phase::chunkData: {
            const qsizetype take =
                static_cast<qsizetype>(std::min<qint64>(*m_remaining, m_pending.size()));
            if (!appendBody(QByteArrayView(m_pending).first(take))) {
                return false;
            }
            m_pending.remove(0, take);
            *m_remaining -= take;
            if (*m_remaining > 0) {
                return true;
            }
            m_phase = Phase::chunkEnd;
            break;
        }
        case Phase::chunkEnd: {
            const auto line = takeLine(2);
            if (!line) {
                return !failed();
            }
            if (!line->isEmpty()) {
                return fail(Failure::malformed);
            }
            m_phase = Phase::chunkSize;
            break;
        }
        case Phase::done:
            return true;
        case Phase::failed:
            return false;
        }
    }
}

void HttpResponseParser::finishOnClose() {
    if (m_phase == Phase::body && !m_remaining) {
        m_phase = Phase::done;
    } else if (m_phase != Phase::done && m_phase != Phase::failed) {
        fail(Failure::malformed);
    }
}

} // namespace quovant
