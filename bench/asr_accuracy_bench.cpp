// The built-in recogniser's word error rate on synthetic speech, per voice, in the situations a
// user meets: the first utterance on a fresh install (`cold`: the normalisation starts from the
// model's stock values, as in every new process before it was kept), the `transcribe` command
// which knows the whole file (`file`), and an engine that has been dictated to for a while
// (`warm`; a restart continues from its saved state). Add `fresh` to decode every utterance in
// a newly loaded engine instead (slow: one model load per utterance).
#include "bench/speech_corpus.h"
#include "speech/pocket_sphinx_engine.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>

using namespace Qt::StringLiterals;
using namespace quovant;
using namespace quovant::bench;

namespace {

enum class Mode { cold, file, warm, freshCold, freshFile };

struct Spoken {
    QString text;
    Recording audio;
};

// Every sentence in every voice, synthesised once.
const std::map<QString, std::vector<Spoken>>& corpus() {
    static const auto spoken = [] {
        std::map<QString, std::vector<Spoken>> result;
        for (const Voice& voice : voices())
            for (const QString& sentence : sentences())
                result[voice.name].push_back({sentence, speak(voice, sentence)});
        return result;
    }();
    return spoken;
}

std::unique_ptr<PocketSphinxEngine> preparedEngine(const QString& statePath = {}) {
    auto engine = std::make_unique<PocketSphinxEngine>(
        u"en-US"_s, PocketSphinxEngine::defaultModelDirectory(),
        PocketSphinxEngine::DecoderSettings(), statePath);
    QCoro::waitFor(engine->prepare());
    return engine;
}

QString decode(PocketSphinxEngine& engine, const Recording& audio, bool wholeFile) {
    if (wholeFile)
        engine.expectRecording({audio.samples, audio.sampleRate});
    QCoro::waitFor(engine.beginUtterance({}));
    const auto chunk = std::size_t(audio.sampleRate / 10);
    for (std::size_t start = 0; start < audio.samples.size(); start += chunk) {
        const auto end = std::min(audio.samples.size(), start + chunk);
        engine.append({std::vector<float>(audio.samples.begin() + std::ptrdiff_t(start),
                                          audio.samples.begin() + std::ptrdiff_t(end)),
                       audio.sampleRate});
    }
    return QCoro::waitFor(engine.finishUtterance());
}

void wordErrorRate(benchmark::State& state, Mode mode) {
    for (auto _ : state) {
        int allErrors = 0;
        int allWords = 0;
        for (const auto& [voice, spoken] : corpus()) {
            std::unique_ptr<PocketSphinxEngine> shared = preparedEngine();
            int errors = 0;
            int words = 0;
            for (const Spoken& s : spoken) {
                QString heard;
                if (mode == Mode::freshCold || mode == Mode::freshFile) {
                    auto engine = preparedEngine();
                    heard = decode(*engine, s.audio, mode == Mode::freshFile);
                } else {
                    if (mode == Mode::cold)
                        shared->resetNormalisation();
                    heard = decode(*shared, s.audio, mode == Mode::file);
                }
                const QStringList reference = referenceWords(s.text);
                errors += wordErrors(reference, referenceWords(heard));
                words += int(reference.size());
            }
            state.counters[voice.toStdString()] = 100.0 * errors / words;
            allErrors += errors;
            allWords += words;
        }
        state.counters["all"] = 100.0 * allErrors / allWords;
    }
}

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir home;
    qputenv("QUOVANT_HOME", home.path().toUtf8());
    QCoreApplication app(argc, argv);
    const std::pair<const char*, Mode> modes[] = {{"cold", Mode::cold},
                                                  {"file", Mode::file},
                                                  {"warm", Mode::warm},
                                                  {"fresh_cold", Mode::freshCold},
                                                  {"fresh_file", Mode::freshFile}};
    for (const auto& [name, mode] : modes)
        benchmark::RegisterBenchmark((std::string("BM_WordErrorRate/") + name).c_str(),
                                     wordErrorRate, mode)
            ->Iterations(1)
            ->Unit(benchmark::kSecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
