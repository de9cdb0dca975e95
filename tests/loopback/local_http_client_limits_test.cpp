#include "loopback/local_http_client.h"
#include "support/desktop_peers.h"
#include "support/local_http_server.h"

#include <QFile>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include <iostream>
#include <optional>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace quovant {
namespace {

using testing::PeerProcess;

// Peak resident memory of this process in KiB since the last reset.
qint64 peakResidentKiB() {
    QFile status(u"/proc/self/status"_s);
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:")) {
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
        }
    }
    return -1;
}

qint64 currentResidentKiB() {
    QFile status(u"/proc/self/status"_s);
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
        }
    }
    return -1;
}

void resetPeakResident() {
    QFile clear(u"/proc/self/clear_refs"_s);
    if (clear.open(QIODevice::WriteOnly)) {
        clear.write("5");
    }
}

// A server in its own process, so its buffers never count against the client's memory.
struct HostileServer {
    explicit HostileServer(const QString& mode)
        : process(u"/usr/bin/python3"_s,
                  {qEnvironmentVariable("QUOVANT_SOURCE_DIR") +
                       u"/tests/loopback/hostile_http_server.py"_s,
                   mode}) {
        if (const auto line = process.readFirstLine(10000)) {
            port = line->toInt();
        }
    }
    QUrl url(const QString& path = u"/"_s) const {
        return QUrl(u"http://127.0.0.1:"_s + QString::number(port) + path);
    }
    PeerProcess process;
    int port = 0;
};

struct LimitCase {
    const char* mode;
    bool probe;
    std::optional<LocalHttpError::Kind> expected; // none: the reply is accepted
};

class LocalHttpClientLimitsTest : public ::testing::TestWithParam<LimitCase> {};

// Whatever a local server sends, the client holds at most the reply cap and its read buffer.
TEST_P(LocalHttpClientLimitsTest, MemoryStaysBoundedAgainstHostileServers) {
    const LimitCase& limit = GetParam();
    HostileServer server(QString::fromLatin1(limit.mode));
    ASSERT_GT(server.port, 0);
    LocalHttpClient client;

    const qint64 before = currentResidentKiB();
    resetPeakResident();
    try {
        const LocalHttpResponse response =
            limit.probe
                ? testing::run(client.probe(server.url(), 20s))
                : testing::run(client.post(server.url(u"/api/generate"_s), "application/json",
                                           "{}", 20s));
        EXPECT_FALSE(limit.expected) << "a hostile reply was accepted";
        EXPECT_EQ(response.status, 200);
    } catch (const LocalHttpError& error) {
        EXPECT_EQ(error.kind(), limit.expected) << error.message().toStdString();
    }
    const qint64 grown = peakResidentKiB() - before;
    std::cout << "peak resident growth against " << limit.mode << ": " << grown << " KiB\n";
    EXPECT_LT(grown, 20 * 1024) << "peak resident memory grew by " << grown << " KiB";
}

INSTANTIATE_TEST_SUITE_P(
    Servers, LocalHttpClientLimitsTest,
    ::testing::Values(LimitCase{"endless-chunked", false, LocalHttpError::Kind::responseTooLarge},
                      LimitCase{"endless-body", false, LocalHttpError::Kind::responseTooLarge},
                      LimitCase{"huge-header", false, LocalHttpError::Kind::responseTooLarge},
                      LimitCase{"many-headers", false, LocalHttpError::Kind::responseTooLarge},
                      LimitCase{"huge-header", true, LocalHttpError::Kind::responseTooLarge},
                      // A probe needs the status line only: it answers and stops reading.
                      LimitCase{"endless-chunked", true, std::nullopt}),
    [](const auto& info) {
        QString name = QString::fromLatin1(info.param.mode).remove(u'-');
        return (name + (info.param.probe ? u"Probe"_s : u"Post"_s)).toStdString();
    });

} // namespace
} // namespace quovant
