// The built-in recogniser's word error rate on synthetic speech, per voice, in the situations a
// user meets: the first utterance on a fresh install (`cold`: the normalisation starts from the
// model's stock values, as in every new process before it was kept), the `transcribe` command
// which knows the whole file (`file`), and an engine that has been dictated to for a while
// (`warm`; a restart continues from its saved state; `warm_flat` with the forward-flat second
// pass). Add `fresh` to decode every utterance in a newly loaded engine instead (slow: one model
// load per utterance).
// `BM_Vocabulary` measures what the speaker's vocabulary does: sentences full of developer terms
// and the ordinary sentences, each decoded by a warm engine without and with the vocabulary
// (`term_*` counts only the vocabulary words of the references).
#include "bench/speech_corpus.h"
#include "speech/pocket_sphinx_engine.h"
#include "speech/recognition_context_builder.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <QSet>

#include <array>
#include <cstdio>
#include <map>
#include <memory>

using namespace Qt::StringLiterals;
using namespace quovant;
using namespace quovant::bench;

namespace {

enum class Mode { cold, file, warm, warmFlat, freshCold, freshFile };

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

std::unique_ptr<PocketSphinxEngine> preparedEngine(bool forwardFlat = false) {
    PocketSphinxEngine::DecoderSettings settings;
    settings.forwardFlatPass = forwardFlat;
    auto engine = std::make_unique<PocketSphinxEngine>(
        u"en-US"_s, PocketSphinxEngine::defaultModelDirectory(), settings);
    QCoro::waitFor(engine->prepare());
    return engine;
}

QString decode(PocketSphinxEngine& engine, const Recording& audio, bool wholeFile,
               const QStringList& context = {}) {
    if (wholeFile)
        engine.expectRecording({audio.samples, audio.sampleRate});
    QCoro::waitFor(engine.beginUtterance(context));
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
            std::unique_ptr<PocketSphinxEngine> shared = preparedEngine(mode == Mode::warmFlat);
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

const std::map<QString, std::vector<Spoken>>& developerCorpus() {
    static const auto spoken = [] {
        std::map<QString, std::vector<Spoken>> result;
        for (const Voice& voice : voices())
            for (const QString& sentence : developerSentences())
                result[voice.name].push_back({sentence, speak(voice, sentence)});
        return result;
    }();
    return spoken;
}

// Vocabulary words of `reference` that `hypothesis` lacks.
int termErrors(const QStringList& reference, const QStringList& hypothesis,
               const QSet<QString>& terms, int& termWords) {
    std::map<QString, int> missing;
    for (const QString& word : reference)
        if (terms.contains(word)) {
            ++missing[word];
            ++termWords;
        }
    for (const QString& word : hypothesis)
        if (auto found = missing.find(word); found != missing.end() && found->second > 0)
            --found->second;
    int errors = 0;
    for (const auto& [word, count] : missing)
        errors += count;
    return errors;
}

void vocabularyEffect(benchmark::State& state) {
    QSet<QString> terms;
    for (const QString& term : developerVocabulary())
        terms.insert(RecognitionContextBuilder::normalized(term).remove(u' '));
    const QStringList context = RecognitionContextBuilder::contextualStrings({developerVocabulary()});
    for (auto _ : state) {
        std::map<std::string, std::array<int, 2>> totals; // errors, words
        for (const Voice& voice : voices()) {
            for (const bool withVocabulary : {false, true}) {
                const std::string suffix = withVocabulary ? "_on" : "_off";
                const QStringList used = withVocabulary ? context : QStringList();
                std::unique_ptr<PocketSphinxEngine> engine = preparedEngine();
                const auto count = [&](const std::string& name, const std::vector<Spoken>& set) {
                    int errors = 0;
                    int words = 0;
                    int missedTerms = 0;
                    int termWords = 0;
                    for (const Spoken& s : set) {
                        const QStringList reference = referenceWords(s.text);
                        const QString said = decode(*engine, s.audio, false, used);
                        const QStringList heard = referenceWords(said);
                        errors += wordErrors(reference, heard);
                        words += int(reference.size());
                        missedTerms += termErrors(reference, heard, terms, termWords);
                        if (qEnvironmentVariableIsSet("QUOVANT_BENCH_SHOW"))
                            std::printf("%s%s %s\n    → %s\n", qPrintable(voice.name),
                                        suffix.c_str(), qPrintable(s.text), qPrintable(said));
                    }
                    const std::string v = voice.name.toStdString();
                    state.counters[v + "_" + name + suffix] = 100.0 * errors / words;
                    totals[name + suffix][0] += errors;
                    totals[name + suffix][1] += words;
                    if (termWords > 0) {
                        state.counters[v + "_term" + suffix] = 100.0 * missedTerms / termWords;
                        totals["term" + suffix][0] += missedTerms;
                        totals["term" + suffix][1] += termWords;
                    }
                };
                count("ordinary", corpus().at(voice.name));
                count("developer", developerCorpus().at(voice.name));
            }
        }
        for (const auto& [name, sums] : totals)
            state.counters["all_" + name] = 100.0 * sums[0] / std::max(sums[1], 1);
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
                                                  {"warm_flat", Mode::warmFlat},
                                                  {"fresh_cold", Mode::freshCold},
                                                  {"fresh_file", Mode::freshFile}};
    for (const auto& [name, mode] : modes)
        benchmark::RegisterBenchmark((std::string("BM_WordErrorRate/") + name).c_str(),
                                     wordErrorRate, mode)
            ->Iterations(1)
            ->Unit(benchmark::kSecond);
    benchmark::RegisterBenchmark("BM_Vocabulary", vocabularyEffect)
        ->Iterations(1)
        ->Unit(benchmark::kSecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
