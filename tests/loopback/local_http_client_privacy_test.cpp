#include "loopback/http_response_parser.h"
#include "loopback/local_http_client.h"
#include "support/local_http_server.h"

#include <QNetworkProxy>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace quovant {
namespace {

using testing::LocalHttpServer;

// The user's words go to the service they configured and nowhere else: neither a proxy from the
// environment or the application nor the target of a redirect ever sees a request.
TEST(LocalHttpClientPrivacy, IgnoresProxiesAndNeverFollowsRedirects) {
    LocalHttpServer proxy;
    LocalHttpServer elsewhere;
    LocalHttpServer service;
    service.enqueue(LocalHttpServer::Reply::json(200, R"({"ok":true})"));
    LocalHttpServer::Reply redirect;
    redirect.status = 307;
    redirect.headers = {{"Location", elsewhere.url().toString().toUtf8() + "api/generate"}};
    service.enqueue(redirect);

    qputenv("http_proxy", proxy.url().toString().toUtf8());
    qputenv("HTTP_PROXY", proxy.url().toString().toUtf8());
    QNetworkProxy::setApplicationProxy(
        QNetworkProxy(QNetworkProxy::HttpProxy, u"127.0.0.1"_s, proxy.port()));

    LocalHttpClient client;
    const auto direct = testing::run(client.get(service.url(), 5s));
    const auto redirected = testing::run(
        client.post(LocalHttpClient::appendingPathComponent(service.url(), u"api/generate"_s),
                    "application/json", R"({"prompt":"secret words"})", 5s));

    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    qunsetenv("http_proxy");
    qunsetenv("HTTP_PROXY");

    EXPECT_EQ(direct.status, 200);
    EXPECT_EQ(redirected.status, 307);
    EXPECT_EQ(service.requests().size(), 2);
    EXPECT_EQ(proxy.connectionCount(), 0);
    EXPECT_EQ(elsewhere.connectionCount(), 0);
}

struct ParserCase {
    const char* name;
    QList<QByteArray> pieces;
    bool complete;
    HttpResponseParser::Failure failure;
    int status;
    QByteArray body;
};

// Replies arrive in arbitrary pieces; the reader must give the same answer however they are cut.
TEST(HttpResponseParser, ReadsRepliesInPiecesAndRefusesBrokenOnes) {
    using F = HttpResponseParser::Failure;
    const QByteArray big(HttpResponseParser::kMaxHeaderBytes, 'h');
    const std::vector<ParserCase> cases = {
        {"length", {"HTTP/1.1 200 OK\r\nContent-Len", "gth: 5\r\n\r\nhel", "lo"}, true, F::none, 200, "hello"},
        {"chunked", {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r", "\nabc\r\n2;x=y\r\nde\r\n0\r\n\r\n"}, true, F::none, 200, "abcde"},
        {"interim", {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n"}, true, F::none, 201, ""},
        {"no content", {"HTTP/1.0 204 No Content\r\n\r\n"}, true, F::none, 204, ""},
        {"announced too large", {"HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n"}, false, F::tooLarge, 200, ""},
        {"chunk too large", {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n6\r\nabcdef\r\n6\r\nabcdef\r\n"}, false, F::tooLarge, 200, ""},
        {"header too large", {"HTTP/1.1 200 OK\r\nX: ", big}, false, F::tooLarge, 200, ""},
        {"not http", {"SSH-2.0-OpenSSH\r\n"}, false, F::malformed, 0, ""},
        {"bad status", {"HTTP/1.1 2x0 OK\r\n"}, false, F::malformed, 0, ""},
        {"header without colon", {"HTTP/1.1 200 OK\r\nbroken\r\n"}, false, F::malformed, 200, ""},
        {"bad chunk size", {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n"}, false, F::malformed, 200, ""},
        {"negative length", {"HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n"}, false, F::malformed, 200, ""},
    };
    for (const ParserCase& c : cases) {
        HttpResponseParser parser(10);
        for (const QByteArray& piece : c.pieces) {
            parser.feed(piece);
        }
        EXPECT_EQ(parser.complete(), c.complete) << c.name;
        EXPECT_EQ(parser.failure(), c.failure) << c.name;
        EXPECT_EQ(parser.status(), c.status) << c.name;
        EXPECT_EQ(parser.body(), c.body) << c.name;
    }

    // A body without a length ends with the connection; a cut-short one is an error.
    HttpResponseParser untilClose(10);
    untilClose.feed("HTTP/1.1 200 OK\r\n\r\nabc");
    untilClose.finishOnClose();
    EXPECT_TRUE(untilClose.complete());
    EXPECT_EQ(untilClose.body(), "abc");
    HttpResponseParser cutShort(10);
    cutShort.feed("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nabc");
    cutShort.finishOnClose();
    EXPECT_EQ(cutShort.failure(), HttpResponseParser::Failure::malformed);
}

} // namespace
} // namespace quovant
