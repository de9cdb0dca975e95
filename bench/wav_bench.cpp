// WAV encoding and decoding of a three-minute recording at 16 kHz, the longest the recorder keeps.
#include "speech/wav_decoder.h"
#include "speech/wav_encoder.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

using namespace quovant;

namespace {

constexpr double kRate = 16000.0;
constexpr std::size_t kSamples = 3 * 60 * 16000;

const std::vector<float>& recording() {
    static const std::vector<float> samples = [] {
        std::vector<float> out(kSamples);
        for (std::size_t i = 0; i < kSamples; ++i) {
            // A voice-like mix with an occasional clipped peak.
            out[i] = float(0.6 * std::sin(double(i) * 0.031) + 0.5 * std::sin(double(i) * 0.0071));
        }
        return out;
    }();
    return samples;
}

void encodeThreeMinutes(benchmark::State& state) {
    const auto& samples = recording();
    for (auto _ : state) {
        QByteArray bytes = WavEncoder::encode(samples, kRate);
        benchmark::DoNotOptimize(bytes.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(44 + 2 * kSamples));
}

void decodeThreeMinutes(benchmark::State& state) {
    const QByteArray bytes = WavEncoder::encode(recording(), kRate);
    for (auto _ : state) {
        auto decoded = WavDecoder::decode(bytes);
        benchmark::DoNotOptimize(decoded.samples.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * bytes.size());
}

void decodeThreeMinutesStereo(benchmark::State& state) {
    // The same length as a stereo file: exercises the mixing path.
    QByteArray bytes = WavEncoder::encode(recording(), kRate);
    bytes[22] = 2;
    for (auto _ : state) {
        auto decoded = WavDecoder::decode(bytes);
        benchmark::DoNotOptimize(decoded.samples.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * bytes.size());
}

} // namespace

BENCHMARK(encodeThreeMinutes)->Unit(benchmark::kMillisecond);
BENCHMARK(decodeThreeMinutes)->Unit(benchmark::kMillisecond);
BENCHMARK(decodeThreeMinutesStereo)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
