// The microphone's costs against a private sound server: idle CPU while warm, start-to-first-chunk
// and stop-to-classification times, sample-to-delivery latency and the memory it adds.
// QUOVANT_AUDIO_IDLE_SECONDS shortens the idle window (default 60 s).

#include "bench/percentile.h"
#include "platform/linux/audio/linux_audio_capture.h"
#include "support/pulse_server.h"
#include "bench/qt_bench_main.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <random>
#include <thread>

using namespace quovant;
using namespace quovant::testing;
using quovant::bench::percentile;
using namespace Qt::StringLiterals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kRate = 16000;

// CPU time of the capture's own threads (the sound server connection and the health checks), so
// the tone writer living in this process does not count.
double captureCpuSeconds() {
    double total = 0;
    const QDir tasks(u"/proc/self/task"_s);
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(task + u"/comm"_s));
        QFile schedstat(tasks.filePath(task + u"/schedstat"_s));
        if (!comm.open(QIODevice::ReadOnly) || !schedstat.open(QIODevice::ReadOnly)) {
            continue;
        }
        const QByteArray name = comm.readAll().trimmed();
        if (name == "quovant-audio" || name == "audio-health") {
            total += schedstat.readAll().split(' ').front().toDouble() / 1e9;
        }
    }
    return total;
}

double residentMegabytes() {
    QFile status(u"/proc/self/status"_s);
    if (!status.open(QIODevice::ReadOnly)) {
        return 0;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').front().toDouble() / 1024.0;
        }
    }
    return 0;
}

bool waitUntil(const std::function<bool()>& done, int capMs = 30000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(capMs);
    while (!done()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A server whose default source is a 48 kHz tone delivered in real time, like a live microphone.
struct ToneServer {
    PulseServer server;
    std::unique_ptr<PipeSourceWriter> writer;
};

std::unique_ptr<ToneServer> toneServer(benchmark::State& state) {
    auto tone = std::make_unique<ToneServer>();
    const auto pipe = tone->server.running() ? tone->server.loadPipeSource(u"tone"_s, 48000)
                                             : std::nullopt;
    if (!pipe || !tone->server.setDefaultSource(pipe->source)) {
        state.SkipWithError("no sound server");
        return nullptr;
    }
    std::vector<float> second(48000);
    for (std::size_t i = 0; i < second.size(); ++i) {
        second[i] = float(0.3 * std::sin(2 * M_PI * 440 * double(i) / 48000));
    }
    tone->writer = std::make_unique<PipeSourceWriter>(pipe->fifo);
    // One piece per 20 ms fragment, as a device source delivers for the stream's latency.
    tone->writer->setPieceDuration(20);
    tone->writer->play(std::move(second), 48000, true);
    return tone;
}

void BM_WarmIdleCpu(benchmark::State& state) {
    const bool noiseReduction = state.range(0) != 0;
    const int seconds = qEnvironmentVariableIsSet("QUOVANT_AUDIO_IDLE_SECONDS")
                            ? qEnvironmentVariableIntValue("QUOVANT_AUDIO_IDLE_SECONDS")
                            : 60;
    auto server = toneServer(state);
    if (!server) {
        return;
    }
    auto capture = LinuxAudioCapture::create();
    capture->setVoiceProcessingEnabled(noiseReduction);
    capture->warmUp(kRate);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    for (auto _ : state) {
        const double cpuBefore = captureCpuSeconds();
        const auto wallBefore = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
        const double cpu = captureCpuSeconds() - cpuBefore;
        state.SetIterationTime(wall);
        state.counters["cpu_percent_of_one_core"] = 100.0 * cpu / wall;
    }
}
BENCHMARK(BM_WarmIdleCpu)->ArgName("noise_reduction")->Arg(0)->Arg(1)->UseManualTime()
    ->Iterations(1)->Unit(benchmark::kSecond);

// start() while warm until the pre-roll reaches onChunk, and stop() until the status is known.
void BM_WarmStartAndStop(benchmark::State& state) {
    auto server = toneServer(state);
    if (!server) {
        return;
    }
    auto capture = LinuxAudioCapture::create();
    std::atomic<std::int64_t> firstChunkNs{0};
    capture->onChunk = [&](const AudioChunk&) {
        std::int64_t none = 0;
        firstChunkNs.compare_exchange_strong(
            none, std::chrono::duration_cast<std::chrono::nanoseconds>(
                      Clock::now().time_since_epoch())
                      .count());
    };
    capture->warmUp(kRate);
    std::vector<double> starts;
    std::vector<double> stops;
    for (auto _ : state) {
        // Untimed: let the pre-roll fill up again.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        firstChunkNs = 0;
        const auto begin = Clock::now();
        capture->start(kRate, false);
        waitUntil([&] { return firstChunkNs != 0; });
        const double startMs =
            double(firstChunkNs - std::chrono::duration_cast<std::chrono::nanoseconds>(
                                      begin.time_since_epoch())
                                      .count()) /
            1e6;
        const auto stopBegin = Clock::now();
        capture->stop();
        benchmark::DoNotOptimize(capture->lastCaptureStatus());
        const double stopMs =
            std::chrono::duration<double, std::milli>(Clock::now() - stopBegin).count();
        starts.push_back(startMs);
        stops.push_back(stopMs);
        state.SetIterationTime(startMs / 1000);
    }
    state.counters["start_p50_ms"] = percentile(starts, 0.5);
    state.counters["start_p99_ms"] = percentile(starts, 0.99);
    state.counters["stop_p50_ms"] = percentile(stops, 0.5);
    state.counters["stop_p99_ms"] = percentile(stops, 0.99);
}
BENCHMARK(BM_WarmStartAndStop)->UseManualTime()->Iterations(200)->Unit(benchmark::kMillisecond);

// A 10 ms piece is written into the pipe source every 10 ms; each piece starts with a marker
// sample, and the time from its write to its arrival in onChunk is taken.
void BM_PipeSampleToChunkLatency(benchmark::State& state) {
    PulseServer server;
    const auto pipe = server.running() ? server.loadPipeSource(u"mic"_s, int(kRate)) : std::nullopt;
    if (!pipe || !server.setDefaultSource(pipe->source)) {
        state.SkipWithError("no sound server");
        return;
    }
    PipeSourceWriter writer(pipe->fifo);
    constexpr int kPieces = 1000;
    constexpr std::size_t kPiece = std::size_t(kRate / 100);
    std::vector<std::atomic<std::int64_t>> arrivals(kPieces);
    std::vector<std::int64_t> writes(kPieces);
    const auto nowNs = [] {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   Clock::now().time_since_epoch())
            .count();
    };
    auto capture = LinuxAudioCapture::create();
    capture->setVoiceProcessingEnabled(false); // the markers must arrive unchanged
    capture->onChunk = [&](const AudioChunk& chunk) {
        const std::int64_t now = nowNs();
        for (const float sample : chunk.samples) {
            if (sample >= 0.5f) {
                const auto index = std::lround((sample - 0.5f) / 1e-4f);
                if (index >= 0 && index < kPieces) {
                    arrivals[std::size_t(index)] = now;
                }
            }
        }
    };
    std::mt19937 random(3);
    std::uniform_real_distribution<float> noise(-0.01f, 0.01f);
    for (auto _ : state) {
        capture->start(kRate, false);
        const auto begin = Clock::now();
        for (int i = 0; i < kPieces; ++i) {
            std::this_thread::sleep_until(begin + std::chrono::milliseconds(10 * i));
            std::vector<float> piece(kPiece);
            for (float& sample : piece) {
                sample = noise(random);
            }
            piece[0] = 0.5f + float(i) * 1e-4f;
            writes[std::size_t(i)] = nowNs();
            writer.write(piece);
        }
        waitUntil([&] { return arrivals[kPieces - 1] != 0; }, 5000);
        capture->stop();
        std::vector<double> latencies;
        for (int i = 0; i < kPieces; ++i) {
            if (arrivals[std::size_t(i)] != 0) {
                latencies.push_back(double(arrivals[std::size_t(i)] - writes[std::size_t(i)]) / 1e6);
            }
        }
        state.SetIterationTime(percentile(latencies, 0.5) / 1000);
        state.counters["delivered_pieces"] = double(latencies.size());
        state.counters["latency_p50_ms"] = percentile(latencies, 0.5);
        state.counters["latency_p99_ms"] = percentile(latencies, 0.99);
        state.counters["latency_max_ms"] = percentile(latencies, 1.0);
    }
}
BENCHMARK(BM_PipeSampleToChunkLatency)->UseManualTime()->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// Resident memory after a warm-up with noise reduction and a retained 5 s recording, against
// the same process before the capture existed.
void BM_ResidentMemoryAdded(benchmark::State& state) {
    auto server = toneServer(state);
    if (!server) {
        return;
    }
    for (auto _ : state) {
        const double before = residentMegabytes();
        auto capture = LinuxAudioCapture::create();
        capture->onChunk = [](const AudioChunk& chunk) { benchmark::DoNotOptimize(chunk); };
        capture->warmUp(kRate);
        std::this_thread::sleep_for(std::chrono::seconds(2));
        capture->start(kRate, true);
        std::this_thread::sleep_for(std::chrono::seconds(5));
        capture->stop();
        state.counters["rss_added_mb"] = residentMegabytes() - before;
        state.SetIterationTime(7);
    }
}
BENCHMARK(BM_ResidentMemoryAdded)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv) {
    return quovant::bench::runInTemporaryHome(argc, argv);
}
