#include "formatting/ollama_formatter.h"

#include "core/quovant_error.h"
#include "formatting/developer_prompt_prompt.h"
#include "formatting/formatter_prompt.h"
#include "formatting/formatting_context.h"
#include "formatting/rewrite_command.h"
#include "formatting/rewrite_prompt.h"
#include "loopback/local_service_endpoint.h"
#include "settings/log.h"
#include "settings/paths.h"
#include "support/local_http_server.h"
#include "support/test_support.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <functional>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace quovant {
namespace {

using testing::LocalHttpServer;
using Reply = LocalHttpServer::Reply;

constexpr OllamaFormatter::Timeouts kShort{300ms, 300ms};
const QString kModel = u"qwen3:8b"_s;

QByteArray tags(const QStringList& names) {
    QJsonArray models;
    for (const QString& name : names) {
        models.append(QJsonObject{
            {u"name"_s, name},
            {u"model"_s, name},
            {u"modified_at"_s, u"2025-05-01T10:00:00.000000+02:00"_s},
            {u"size"_s, 5225388164LL},
            {u"digest"_s, u"500a1f067a9f782620b40bee6f7b0c89e17ae61f686b92c24933e4ca4b2b8b41"_s},
            {u"details"_s, QJsonObject{{u"format"_s, u"gguf"_s},
                                       {u"family"_s, u"qwen3"_s},
                                       {u"parameter_size"_s, u"8.2B"_s},
                                       {u"quantization_level"_s, u"Q4_K_M"_s}}},
        });
    }
    return QJsonDocument(QJsonObject{{u"models"_s, models}}).toJson(QJsonDocument::Compact);
}

Reply generated(const QString& response) {
    return Reply::json(200, QJsonDocument(QJsonObject{
                                              {u"model"_s, kModel},
                                              {u"created_at"_s, u"2025-05-01T08:00:00.123Z"_s},
                                              {u"response"_s, response},
                                              {u"done"_s, true},
                                              {u"done_reason"_s, u"stop"_s},
                                              {u"total_duration"_s, 412345678},
                                              {u"load_duration"_s, 12345678},
                                              {u"prompt_eval_count"_s, 211},
                                              {u"prompt_eval_duration"_s, 80000000},
                                              {u"eval_count"_s, 12},
                                              {u"eval_duration"_s, 300000000},
                                          })
                                .toJson(QJsonDocument::Compact));
}

quint16 closedPort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

// The log lines written while `action` runs.
QString logDuring(const std::function<void()>& action) {
    const QString path = Paths::root() + u"/quovant.log"_s;
    Log::flush();
    const qsizetype before = testing::readFile(path).size();
    action();
    Log::flush();
    return QString::fromUtf8(testing::readFile(path).mid(before));
}

// A formatter whose probe found the model; the warm-up request is answered and recorded.
std::unique_ptr<OllamaFormatter> availableFormatter(LocalHttpServer& server,
                                                    OllamaFormatter::Timeouts timeouts = kShort) {
    server.enqueue(Reply::json(200, tags({u"llama3.2:1b"_s, kModel})));
    server.enqueue(generated(u"ok"_s));
    auto formatter = std::make_unique<OllamaFormatter>(server.url().toString(), kModel, timeouts);
    testing::await(formatter->prepare());
    EXPECT_TRUE(formatter->isAvailable());
    return formatter;
}

QJsonObject jsonBody(const LocalHttpServer::Request& request) {
    return QJsonDocument::fromJson(request.body).object();
}

TEST(OllamaFormatter, ProbeFindsTheModelAndWarmsIt) {
    LocalHttpServer server;
    std::unique_ptr<OllamaFormatter> formatter;
    const QString log = logDuring([&] { formatter = availableFormatter(server); });
    EXPECT_EQ(formatter->name(), u"Ollama · qwen3:8b"_s);
    EXPECT_TRUE(log.contains(u"[INFO] Formatter ready · Ollama · qwen3:8b\n"_s))
        << log.toStdString();

    ASSERT_EQ(server.requests().size(), 2);
    const LocalHttpServer::Request& probe = server.requests()[0];
    EXPECT_EQ(probe.method, "GET");
    EXPECT_EQ(probe.target, "/api/tags");
    const LocalHttpServer::Request& warmUp = server.requests()[1];
    EXPECT_EQ(warmUp.method, "POST");
    EXPECT_EQ(warmUp.target, "/api/generate");
    EXPECT_EQ(warmUp.header("Content-Type"), QByteArray("application/json"));
    const QJsonObject body = jsonBody(warmUp);
    EXPECT_EQ(body.keys(), (QStringList{u"model"_s, u"options"_s, u"prompt"_s, u"stream"_s,
                                        u"system"_s, u"think"_s}));
    EXPECT_EQ(body[u"model"_s], kModel);
    EXPECT_EQ(body[u"prompt"_s], u"hi"_s);
    EXPECT_EQ(body[u"system"_s], u"Reply with: ok"_s);
    EXPECT_EQ(body[u"stream"_s], false);
    EXPECT_EQ(body[u"think"_s], false);
    EXPECT_EQ(body[u"options"_s].toObject().keys(),
              (QStringList{u"num_predict"_s, u"temperature"_s}));
    // Integers on the wire, not 0.0 or 4.0.
    EXPECT_TRUE(warmUp.body.contains(R"("temperature":0,)") ||
                warmUp.body.contains(R"("temperature":0})"));
    EXPECT_TRUE(warmUp.body.contains(R"("num_predict":4)"));
}

TEST(OllamaFormatter, ProbeOutcomesSetTheFlagAndLogOnce) {
    const QString unreachable = u"[WARN] Ollama not reachable at "_s;
    const QString notPulled =
        u"[WARN] Ollama is running but '"_s + kModel + u"' is not pulled. Available: "_s;
    const struct {
        const char* label;
        std::optional<Reply> reply; // none: nothing listens
        QString expectedLine;       // empty: no line at all
    } cases[] = {
        {"status 500", Reply::json(500, R"({"error":"boom"})"), {}},
        {"status 404", Reply::json(404, "404 page not found"), {}},
        {"not JSON", Reply::json(200, "Ollama is running"), unreachable},
        {"invalid UTF-8", Reply::json(200, "{\"models\":[{\"name\":\"q\xFF\"}]}"), unreachable},
        {"huge", Reply::json(200, QByteArray(LocalHttpClient::kMaxResponseBytes + 1, ' ')),
         unreachable},
        {"never answers", Reply::neverAnswer(), unreachable},
        {"connection refused", std::nullopt, unreachable},
        {"no models key", Reply::json(200, R"({"tags":[]})"), notPulled + u'\n'},
        {"entries without name", Reply::json(200, R"({"models":[{"model":"x"},{"name":7}]})"),
         notPulled + u'\n'},
        {"models not all objects", Reply::json(200, R"({"models":[{"name":"qwen3:8b"},"x"]})"),
         notPulled + u'\n'},
        {"longer tag only", Reply::json(200, tags({u"qwen3:8b-q8_0"_s, u"llama3.2:1b"_s})),
         notPulled + u"qwen3:8b-q8_0, llama3.2:1b\n"_s},
        {"case differs", Reply::json(200, tags({u"Qwen3:8B"_s})), notPulled + u"Qwen3:8B\n"_s},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        LocalHttpServer server;
        if (c.reply) {
            server.setDefaultReply(*c.reply);
        }
        const QString endpoint =
            c.reply ? server.url().toString() : u"http://127.0.0.1:%1"_s.arg(closedPort());
        OllamaFormatter formatter(endpoint, kModel, kShort);
        const QString log = logDuring([&] { testing::await(formatter.prepare()); });
        EXPECT_FALSE(formatter.isAvailable());
        if (c.expectedLine.isEmpty()) {
            EXPECT_FALSE(log.contains(u"Ollama"_s)) << log.toStdString();
        } else {
            const QString line =
                c.expectedLine == unreachable ? unreachable + endpoint + u'\n' : c.expectedLine;
            EXPECT_TRUE(log.contains(line)) << log.toStdString();
            EXPECT_EQ(log.count(u"Ollama"_s), 1) << log.toStdString();
        }
        if (c.reply) {
            EXPECT_EQ(server.requests().size(), 1) << "no warm-up without the model";
        }
    }
}

TEST(OllamaFormatter, FailedWarmUpLeavesTheFormatterAvailable) {
    LocalHttpServer server;
    server.enqueue(Reply::json(200, tags({kModel})));
    server.enqueue(Reply::json(500, R"({"error":"out of memory"})"));
    OllamaFormatter formatter(server.url().toString(), kModel, kShort);
    EXPECT_NO_THROW(testing::await(formatter.prepare()));
    EXPECT_TRUE(formatter.isAvailable());
}

TEST(OllamaFormatter, ModesSendTheirPromptAndBudgetAndCleanTheAnswer) {
    FormattingContext context;
    context.appName = u"Editor"_s;
    context.vocabulary = {u"Quovant"_s};
    const QString ten = u"ten chars!"_s;
    const QString hundred = QString(100, u'x');
    const QString answer = u"<think>plan</think>\"Cleaned text.\""_s;

    using Call = std::function<QCoro::Task<QString>(OllamaFormatter&)>;
    const struct {
        const char* label;
        Call call;
        QString prompt;
        QString system;
        qint64 budget;
    } cases[] = {
        {"format", [&](OllamaFormatter& f) { return f.format(ten, context); },
         FormatterPrompt::prompt(ten, context), FormatterPrompt::instructions(), 133},
        {"rewrite",
         [&](OllamaFormatter& f) { return f.rewrite(u"abc"_s, RewriteCommand::shorten, context); },
         RewritePrompt::prompt(u"abc"_s, RewriteCommand::shorten, context),
         RewritePrompt::instructions(), 161},
        {"developer prompt",
         [&](OllamaFormatter& f) { return f.compileDeveloperPrompt(hundred, context); },
         DeveloperPromptPrompt::prompt(hundred, context), DeveloperPromptPrompt::instructions(),
         420},
        // Characters are user-perceived: an accented letter written with a combining mark is one.
        {"format counts characters",
         [&](OllamaFormatter& f) { return f.format(u"e\u0301e\u0301e\u0301e\u0301"_s, context); },
         FormatterPrompt::prompt(u"e\u0301e\u0301e\u0301e\u0301"_s, context),
         FormatterPrompt::instructions(), 130},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        LocalHttpServer server;
        auto formatter = availableFormatter(server);
        server.enqueue(generated(answer));
        EXPECT_EQ(testing::await(c.call(*formatter)), u"Cleaned text."_s);
        ASSERT_EQ(server.requests().size(), 3);
        const LocalHttpServer::Request& request = server.requests()[2];
        EXPECT_EQ(request.target, "/api/generate");
        EXPECT_EQ(request.body,
                  OllamaFormatter::generationBody(kModel, c.prompt, c.system, c.budget));
        const QJsonObject body = jsonBody(request);
        EXPECT_EQ(body[u"prompt"_s], c.prompt);
        EXPECT_EQ(body[u"system"_s], c.system);
        EXPECT_EQ(body[u"options"_s][u"num_predict"_s].toInteger(), c.budget);
        EXPECT_EQ(body.size(), 6);
    }
}

TEST(OllamaFormatter, UnavailableModelFailsEveryModeWithoutARequest) {
    LocalHttpServer server;
    OllamaFormatter formatter(server.url().toString(), kModel, kShort);
    const QuovantError expected =
        QuovantError::formatterUnavailable(u"Ollama model 'qwen3:8b' is not available"_s);
    const std::function<QCoro::Task<QString>()> calls[] = {
        [&] { return formatter.format(u"hello"_s, {}); },
        [&] { return formatter.rewrite(u"hello"_s, RewriteCommand::fixGrammar, {}); },
        [&] { return formatter.compileDeveloperPrompt(u"hello"_s, {}); },
    };
    for (const auto& call : calls) {
        try {
            testing::await(call());
            ADD_FAILURE() << "succeeded while unavailable";
        } catch (const QuovantError& error) {
            EXPECT_EQ(error, expected);
        }
    }
    EXPECT_EQ(server.connectionCount(), 0);
}

TEST(OllamaFormatter, GenerationRepliesAreJudgedByStatusThenJson) {
    QByteArray huge = generated(u"x"_s).body;
    huge.insert(huge.indexOf("\"x\"") + 1, QByteArray(LocalHttpClient::kMaxResponseBytes, 'x'));
    const struct {
        const char* label;
        Reply reply;
        std::optional<QString> answer;
        std::optional<QuovantError> quovantError;
        std::optional<LocalHttpError::Kind> httpError;
    } cases[] = {
        {"500 with JSON",
         Reply::json(500, R"({"error":"model runner crashed"})"),
         {},
         QuovantError::formatterUnavailable(u"Ollama returned HTTP error"_s),
         {}},
        {"404 model missing",
         Reply::json(404, R"({"error":"model 'qwen3:8b' not found"})"),
         {},
         QuovantError::formatterUnavailable(u"Ollama returned HTTP error"_s),
         {}},
        {"not JSON",
         Reply::json(200, "upstream timeout"),
         {},
         {},
         LocalHttpError::Kind::invalidJson},
        {"invalid UTF-8",
         Reply::json(200, "{\"response\":\"ol\xE9\"}"),
         {},
         {},
         LocalHttpError::Kind::invalidJson},
        {"no response member", Reply::json(200, R"({"done": true})"), u""_s, {}, {}},
        {"response not a string", Reply::json(200, R"({"response": ["a"]})"), u""_s, {}, {}},
        {"array", Reply::json(200, R"(["Hello"])"), u""_s, {}, {}},
        {"preamble only", generated(u"Here is the cleaned-up text: "_s), u""_s, {}, {}},
        {"huge body", Reply::json(200, huge), {}, {}, LocalHttpError::Kind::responseTooLarge},
        {"closed without reply", Reply::closeConnection(), {}, {}, LocalHttpError::Kind::transport},
        {"never answers", Reply::neverAnswer(), {}, {}, LocalHttpError::Kind::timedOut},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        LocalHttpServer server;
        auto formatter = availableFormatter(server);
        server.setDefaultReply(c.reply);
        try {
            const QString answer = testing::await(formatter->format(u"hello there"_s, {}));
            ASSERT_TRUE(c.answer.has_value()) << "succeeded with " << answer.toStdString();
            EXPECT_EQ(answer, *c.answer);
        } catch (const QuovantError& error) {
            ASSERT_TRUE(c.quovantError.has_value()) << error.what();
            EXPECT_EQ(error, *c.quovantError);
        } catch (const LocalHttpError& error) {
            ASSERT_TRUE(c.httpError.has_value()) << error.what();
            EXPECT_EQ(error.kind(), *c.httpError) << error.what();
        }
    }
}

TEST(OllamaFormatter, EndpointsOffThisMachineFallBackToTheDefault) {
    // Every request goes to `endpoint()`; the default itself is never contacted, since a real
    // server of this machine may listen there.
    const QString port = QString::number(closedPort());
    const std::optional<QString> endpoints[] = {
        std::nullopt,
        u"http://admin:pw@127.0.0.1:"_s + port,
        u"file:///tmp/ollama"_s,
        u"ftp://127.0.0.1:"_s + port,
        u"http://203.0.113.9:"_s + port,
        u"http://ollama.example.org:"_s + port,
    };
    for (const auto& endpoint : endpoints) {
        OllamaFormatter formatter(endpoint, kModel, kShort);
        EXPECT_EQ(formatter.endpoint(), QUrl(LocalServiceEndpoint::kDefaultOllamaEndpoint))
            << endpoint.value_or(u"(none)"_s).toStdString();
    }
    const QString allowed = u"http://127.0.0.1:"_s + port;
    EXPECT_EQ(OllamaFormatter(allowed, kModel, kShort).endpoint(), QUrl(allowed));
}

TEST(OllamaFormatter, SlowGenerationRacingTheCallersDeadline) {
    LocalHttpServer server;
    auto formatter = availableFormatter(server, OllamaFormatter::Timeouts{});
    Reply slow = generated(u"late"_s);
    slow.delay = 400ms;
    server.setDefaultReply(slow);

    // Given up by its caller, then superseded by the next utterance's request.
    QCoro::Task<QString> abandoned = formatter->format(u"first"_s, {});
    ASSERT_TRUE(server.waitForRequests(3));
    QCoro::Task<QString> next = formatter->format(u"second"_s, {});
    EXPECT_THROW(testing::await(std::move(abandoned)), LocalHttpError);
    EXPECT_EQ(testing::await(std::move(next)), u"late"_s);

    // An explicit abandon (what a caller's spent budget does) reaches the waiting caller and
    // closes the connection, so no request outlives its budget.
    QCoro::Task<QString> cancelled = formatter->format(u"third"_s, {});
    ASSERT_TRUE(server.waitForRequests(5));
    formatter->abandonRequests();
    EXPECT_THROW(testing::await(std::move(cancelled)), LocalHttpError);
    EXPECT_TRUE(server.waitForNoOpenConnections());

    // The formatter and the task go away mid-request; the late reply must find nothing broken.
    {
        QCoro::Task<QString> dropped = formatter->format(u"fourth"_s, {});
        ASSERT_TRUE(server.waitForRequests(6));
    }
    formatter.reset();
    QDeadlineTimer deadline(600ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

} // namespace
} // namespace quovant
