// The built-in recogniser's speed and size: real-time factor, the wait after the last chunk of
// a five-second utterance captured at real-time pace, and the resident memory once prepared.
// `BM_FinishLatencyByLength/<flat>/<seconds>` gives the same wait with the forward-flat second
// pass off (0) or on (1) for utterances of 2, 5 and 10 seconds.
#include "speech/pocket_sphinx_engine.h"
#include "speech/wav_decoder.h"
#include "bench/qt_bench_main.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>

using namespace Qt::StringLiterals;
using namespace quovant;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kChunk = 1600; // 100 ms at 16 kHz

// Speech synthesised once and cut to `seconds` (five by default).
const std::vector<float>& utterance(int seconds = 5) {
    static std::map<int, std::vector<float>> cut;
    static const std::vector<float> speech = [] {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"utterance.wav"_s);
        QProcess::execute(u"flite"_s,
                          {u"-voice"_s, u"slt"_s, u"-t"_s,
                           u"please send the quarterly report to the whole team by friday "
                           "afternoon and remind them about the meeting. the new office is on "
                           "the second floor next to the kitchen, and the keys are at the desk"_s,
                           u"-o"_s, path});
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return std::vector<float>();
        return WavDecoder::decode(file.readAll()).samples;
    }();
    auto [found, added] = cut.try_emplace(seconds, speech);
    if (added)
        found->second.resize(std::size_t(seconds) * 16000, 0.0f);
    return found->second;
}

PocketSphinxEngine& engine(bool forwardFlat = false) {
    static std::map<bool, std::unique_ptr<PocketSphinxEngine>> instances;
    auto& instance = instances[forwardFlat];
    if (!instance) {
        PocketSphinxEngine::DecoderSettings settings;
        settings.forwardFlatPass = forwardFlat;
        instance = std::make_unique<PocketSphinxEngine>(
            u"en-US"_s, PocketSphinxEngine::defaultModelDirectory(), settings);
        QCoro::waitFor(instance->prepare());
    }
    return *instance;
}

void feed(PocketSphinxEngine& asr, std::size_t start, std::size_t end, int seconds = 5) {
    const auto& samples = utterance(seconds);
    asr.append({std::vector<float>(samples.begin() + start, samples.begin() + end), 16000});
}

double residentMegabytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

// Resident memory of the whole process holding one prepared engine.
void BM_PreparedEngineMemory(benchmark::State& state) {
    const double before = residentMegabytes();
    engine();
    for (auto _ : state)
        benchmark::DoNotOptimize(residentMegabytes());
    state.counters["rss_mb"] = residentMegabytes();
    state.counters["engine_mb"] = residentMegabytes() - before;
}
BENCHMARK(BM_PreparedEngineMemory)->Iterations(1);

// Audio handed over as fast as it comes; the whole decode, tail included, per second of speech.
void BM_RealTimeFactor(benchmark::State& state) {
    auto& asr = engine();
    const auto& samples = utterance();
    double seconds = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        QCoro::waitFor(asr.beginUtterance({}));
        for (std::size_t i = 0; i < samples.size(); i += kChunk)
            feed(asr, i, std::min(samples.size(), i + kChunk));
        benchmark::DoNotOptimize(QCoro::waitFor(asr.finishUtterance()));
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        seconds += elapsed;
        state.SetIterationTime(elapsed);
    }
    state.counters["real_time_factor"] =
        seconds / double(state.iterations()) / (double(samples.size()) / 16000);
}
BENCHMARK(BM_RealTimeFactor)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// Chunks arrive every 100 ms as from a microphone; only the wait for the transcript is timed.
// Reports the median and the 95th percentile over the iterations.
void finishLatency(benchmark::State& state, bool forwardFlat, int seconds) {
    auto& asr = engine(forwardFlat);
    const auto& samples = utterance(seconds);
    std::vector<double> waits;
    for (auto _ : state) {
        QCoro::waitFor(asr.beginUtterance({}));
        auto next = Clock::now();
        for (std::size_t i = 0; i < samples.size(); i += kChunk) {
            std::this_thread::sleep_until(next);
            next += std::chrono::milliseconds(100);
            feed(asr, i, std::min(samples.size(), i + kChunk), seconds);
        }
        const auto start = Clock::now();
        benchmark::DoNotOptimize(QCoro::waitFor(asr.finishUtterance()));
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        waits.push_back(elapsed * 1000);
        state.SetIterationTime(elapsed);
    }
    std::sort(waits.begin(), waits.end());
    const auto at = [&](double fraction) {
        return waits[std::size_t(fraction * double(waits.size() - 1) + 0.5)];
    };
    state.counters["p50_ms"] = at(0.5);
    state.counters["p95_ms"] = at(0.95);
}

void BM_FinishLatency(benchmark::State& state) {
    finishLatency(state, false, 5);
}
BENCHMARK(BM_FinishLatency)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

void BM_FinishLatencyByLength(benchmark::State& state) {
    finishLatency(state, state.range(0) != 0, int(state.range(1)));
}
BENCHMARK(BM_FinishLatencyByLength)
    ->ArgsProduct({{0, 1}, {2, 5, 10}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);

} // namespace

int main(int argc, char** argv) {
    return quovant::bench::runInTemporaryHome(argc, argv);
}
