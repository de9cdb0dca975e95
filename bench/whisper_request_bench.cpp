// The cost of turning a recording into a recognition request, and of one round trip through the
// local-service engines against a server that answers at once.
#include "formatting/formatting_context.h"
#include "formatting/ollama_formatter.h"
#include "speech/whisper_server_engine.h"

#include <QCoreApplication>
#include <QTcpServer>
#include <QTcpSocket>

#include <benchmark/benchmark.h>

#include <cmath>

using namespace Qt::StringLiterals;

namespace {

using quovant::AudioChunk;
using quovant::OllamaFormatter;
using quovant::WhisperServerEngine;

std::vector<float> tone(std::size_t count) {
    std::vector<float> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = 0.5f * std::sin(static_cast<float>(i) * 0.05f);
    }
    return samples;
}

QStringList hints(int count) {
    QStringList strings;
    for (int i = 0; i < count; ++i) {
        strings << u"term%1"_s.arg(i);
    }
    return strings;
}

void BM_InferenceBody(benchmark::State& state) {
    const std::vector<float> recording = tone(static_cast<std::size_t>(state.range(0)) * 16000);
    const QString prompt = hints(40).join(u", "_s);
    const QByteArray boundary = WhisperServerEngine::makeBoundary();
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<float> samples = recording;
        state.ResumeTiming();
        QByteArray body =
            WhisperServerEngine::inferenceBody(std::move(samples), u"en-US"_s, prompt, boundary);
        benchmark::DoNotOptimize(body.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(recording.size()) * 4);
}
BENCHMARK(BM_InferenceBody)->Arg(180)->Arg(10)->Unit(benchmark::kMillisecond);

// Answers every complete request at once: `tags` for a model listing, `body` otherwise.
class InstantServer {
public:
    explicit InstantServer(QByteArray body, QByteArray tags = {})
        : m_body(std::move(body)), m_tags(std::move(tags)) {
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                auto buffer = std::make_shared<QByteArray>();
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
                    *buffer += socket->readAll();
                    const qsizetype end = buffer->indexOf("\r\n\r\n");
                    if (end < 0) {
                        return;
                    }
                    const qsizetype at = buffer->toLower().indexOf("content-length:");
                    const qsizetype length =
                        at < 0 ? 0
                               : buffer->mid(at + 15, buffer->indexOf('\r', at) - at - 15)
                                     .trimmed()
                                     .toLongLong();
                    if (buffer->size() < end + 4 + length) {
                        return;
                    }
                    const QByteArray& reply = buffer->startsWith("GET /api/tags") ? m_tags : m_body;
                    buffer->remove(0, end + 4 + length);
                    socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                                  "Content-Length: " +
                                  QByteArray::number(reply.size()) + "\r\n\r\n" + reply);
                });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        m_server.listen(QHostAddress::LocalHost, 0);
    }
    QString url() const { return u"http://127.0.0.1:%1"_s.arg(m_server.serverPort()); }

private:
    QTcpServer m_server;
    QByteArray m_body;
    QByteArray m_tags;
};

template <typename T> T await(QCoro::Task<T>&& task) {
    std::optional<T> value;
    bool done = false;
    auto wrapper = [&]() -> QCoro::Task<void> {
        try {
            value.emplace(co_await std::move(task));
        } catch (...) {
        }
        done = true;
    };
    QCoro::Task<void> running = wrapper();
    while (!done) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    }
    return value.value_or(T());
}

void BM_WhisperRoundTrip(benchmark::State& state) {
    InstantServer server(R"({"text":" Hello [BLANK_AUDIO] world "})");
    WhisperServerEngine engine(server.url(), u"en-US"_s);
    const AudioChunk second{tone(16000), 16000};
    for (auto _ : state) {
        await(engine.beginUtterance(hints(10)).then([] { return 0; }));
        engine.append(second);
        if (await(engine.finishUtterance()) != u"Hello world"_s) {
            state.SkipWithError("unexpected transcript");
            break;
        }
    }
}
BENCHMARK(BM_WhisperRoundTrip)->Unit(benchmark::kMillisecond);

void BM_OllamaRoundTrip(benchmark::State& state) {
    InstantServer server(R"({"model":"m","created_at":"2025-05-01T08:00:00Z","response":)"
                         R"("Hello there.","done":true,"done_reason":"stop"})",
                         R"({"models":[{"name":"m","model":"m","size":1}]})");
    OllamaFormatter formatter(server.url(), u"m"_s);
    await(formatter.prepare().then([] { return 0; }));
    if (!formatter.isAvailable()) {
        state.SkipWithError("probe failed");
        return;
    }
    for (auto _ : state) {
        if (await(formatter.format(u"hello there"_s, {})) != u"Hello there."_s) {
            state.SkipWithError("unexpected answer");
            break;
        }
    }
}
BENCHMARK(BM_OllamaRoundTrip)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
