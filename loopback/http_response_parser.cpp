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

std::optional<QByteArray> HttpResponseParser::takeLine(QByteArrayView& input, qsizetype limit) {
    const qsizetype end = input.indexOf('\n');
    if (end < 0) {
        if (m_pending.size() + input.size() > limit) {
            fail(Failure::tooLarge);
            return std::nullopt;
        }
        m_pending.append(input);
        input = {};
        return std::nullopt;
    }
    if (m_pending.size() + end > limit) {
        fail(Failure::tooLarge);
        return std::nullopt;
    }
    QByteArray line = std::exchange(m_pending, {});
    line.append(input.first(end));
    input = input.sliced(end + 1);
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
    if (m_body.isEmpty() && !bytes.isEmpty()) {
        // One allocation of the announced length, or of the limit when none was announced:
        // pages are only resident once written, and a body grown by doubling would keep every
        // earlier copy resident on a heap that was handed large blocks before.
        m_body.reserve(m_remaining && m_phase == Phase::body
                           ? static_cast<qsizetype>(*m_remaining)
                           : m_maxBody);
    }
    m_body.append(bytes);
    return true;
}

bool HttpResponseParser::feed(QByteArrayView bytes) {
    if (m_phase == Phase::failed) {
        return false;
    }
    // Body bytes go straight from the input to the body; only an unfinished line is kept over.
    QByteArrayView input = bytes;
    while (m_phase != Phase::done) {
        switch (m_phase) {
        case Phase::statusLine:
        case Phase::headers:
        case Phase::trailers: {
            const qsizetype before = m_pending.size() + input.size();
            const auto line = takeLine(input, kMaxHeaderBytes - m_headerBytes);
            if (!line) {
                return !failed();
            }
            m_headerBytes += before - input.size();
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
        case Phase::body:
        case Phase::chunkData: {
            const qsizetype take =
                m_remaining ? static_cast<qsizetype>(std::min<qint64>(*m_remaining, input.size()))
                            : input.size();
            if (!appendBody(input.first(take))) {
                return false;
            }
            input = input.sliced(take);
            if (!m_remaining) {
                return true; // until the connection closes
            }
            *m_remaining -= take;
            if (*m_remaining > 0) {
                return true;
            }
            m_phase = m_phase == Phase::body ? Phase::done : Phase::chunkEnd;
            break;
        }
        case Phase::chunkSize: {
            const auto line = takeLine(input, kMaxChunkLine);
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
        case Phase::chunkEnd: {
            const auto line = takeLine(input, 2);
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
        case Phase::failed:
            break;
        }
    }
    return true;
}

void HttpResponseParser::finishOnClose() {
    if (m_phase == Phase::body && !m_remaining) {
        m_phase = Phase::done;
    } else if (m_phase != Phase::done && m_phase != Phase::failed) {
        fail(Failure::malformed);
    }
}

} // namespace quovant
