// Sentences from pauses: how well the built-in formatter finds the sentence ends of multi-sentence
// dictations from the pauses the built-in recogniser timed. Reports boundary precision and recall,
// how often the sentence's mark (question or statement) is right, and for tuning the pause
// threshold the pauses found at true sentence ends and inside sentences.
#include "bench/speech_corpus.h"
#include "formatting/builtin_formatter.h"
#include "formatting/dictation_cleanup.h"
#include "speech/pocket_sphinx_engine.h"
#include "bench/qt_bench_main.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <memory>

using namespace Qt::StringLiterals;
using namespace quovant;
using namespace quovant::bench;

namespace {

struct Word {
    QString text;
    // The sentence's mark when the word ends one, else nothing.
    QChar end;
};

// Words with the mark of the sentence each one ends.
std::vector<Word> markedWords(const QString& text) {
    std::vector<Word> words;
    for (const QString& piece : text.split(QRegularExpression(u"\\s+"_s), Qt::SkipEmptyParts)) {
        const QStringList plain = referenceWords(piece);
        for (const QString& word : plain)
            words.push_back({word, {}});
        if (!plain.isEmpty() && (piece.endsWith(u'.') || piece.endsWith(u'?') ||
                                 piece.endsWith(u'!')))
            words.back().end = piece.back();
    }
    return words;
}

// For each hypothesis word, the reference word it was aligned with (match or substitution).
std::vector<int> align(const std::vector<Word>& reference, const std::vector<Word>& hypothesis) {
    const std::size_t n = reference.size(), m = hypothesis.size();
    std::vector<std::vector<int>> cost(n + 1, std::vector<int>(m + 1));
    for (std::size_t i = 0; i <= n; ++i)
        cost[i][0] = int(i);
    for (std::size_t j = 0; j <= m; ++j)
        cost[0][j] = int(j);
    for (std::size_t i = 1; i <= n; ++i)
        for (std::size_t j = 1; j <= m; ++j)
            cost[i][j] = std::min({cost[i - 1][j] + 1, cost[i][j - 1] + 1,
                                   cost[i - 1][j - 1] +
                                       (reference[i - 1].text == hypothesis[j - 1].text ? 0 : 1)});
    std::vector<int> aligned(m, -1);
    std::size_t i = n, j = m;
    while (i > 0 && j > 0) {
        const int substitution = reference[i - 1].text == hypothesis[j - 1].text ? 0 : 1;
        if (cost[i][j] == cost[i - 1][j - 1] + substitution) {
            aligned[--j] = int(--i);
        } else if (cost[i][j] == cost[i - 1][j] + 1) {
            --i;
        } else {
            --j;
        }
    }
    return aligned;
}

void BM_SentenceBoundaries(benchmark::State& state) {
    auto engine = std::make_unique<PocketSphinxEngine>(u"en-US"_s);
    QCoro::waitFor(engine->prepare());
    for (auto _ : state) {
        int truePositives = 0, found = 0, expected = 0, marksRight = 0, marksJudged = 0;
        std::vector<int> atEnds, inside;
        for (const Voice& voice : voices()) {
            const int voiceFound = found, voiceExpected = expected, voiceTrue = truePositives;
            for (const QString& paragraph : paragraphs()) {
                const Recording audio = speak(voice, paragraph);
                engine->expectRecording({audio.samples, audio.sampleRate});
                QCoro::waitFor(engine->beginUtterance({}));
                const auto chunk = std::size_t(audio.sampleRate / 10);
                for (std::size_t at = 0; at < audio.samples.size(); at += chunk)
                    engine->append({std::vector<float>(audio.samples.begin() + std::ptrdiff_t(at),
                                                       audio.samples.begin() +
                                                           std::ptrdiff_t(std::min(at + chunk, audio.samples.size()))),
                                    audio.sampleRate});
                const QString raw = QCoro::waitFor(engine->finishUtterance());
                const SpeechPauses pauses = engine->lastPauses();
                const QString formatted = BuiltinFormatter::formatText(raw, {}, pauses);

                const std::vector<Word> reference = markedWords(paragraph);
                const std::vector<Word> heard = markedWords(formatted);
                const std::vector<Word> rawWords = markedWords(raw);
                const std::vector<int> aligned = align(reference, heard);
                const std::vector<int> rawAligned = align(reference, rawWords);
                for (const SpeechPause& pause : pauses) {
                    const int at = rawAligned[std::size_t(pause.wordsBefore - 1)];
                    if (at >= 0 && !reference[std::size_t(at)].end.isNull())
                        atEnds.push_back(pause.milliseconds);
                    else
                        inside.push_back(pause.milliseconds);
                }
                for (std::size_t k = 0; k + 1 < reference.size(); ++k)
                    expected += reference[k].end.isNull() ? 0 : 1;
                for (std::size_t j = 0; j < heard.size(); ++j) {
                    const int at = aligned[j];
                    const bool last = j + 1 == heard.size();
                    if (last) {
                        if (at == int(reference.size()) - 1) {
                            ++marksJudged;
                            marksRight += heard[j].end == reference.back().end ? 1 : 0;
                        }
                        continue;
                    }
                    if (heard[j].end.isNull())
                        continue;
                    ++found;
                    if (at >= 0 && !reference[std::size_t(at)].end.isNull()) {
                        ++truePositives;
                        ++marksJudged;
                        marksRight += heard[j].end == reference[std::size_t(at)].end ? 1 : 0;
                    }
                }
                if (state.range(0))
                    std::printf("%-6s %s\n       %s\n", qPrintable(voice.name),
                                qPrintable(paragraph), qPrintable(formatted));
            }
            const int t = truePositives - voiceTrue;
            state.counters[voice.name.toStdString() + "_P"] = double(t) / std::max(1, found - voiceFound);
            state.counters[voice.name.toStdString() + "_R"] = double(t) / std::max(1, expected - voiceExpected);
        }
        state.counters["precision"] = found ? double(truePositives) / found : 0;
        state.counters["recall"] = expected ? double(truePositives) / expected : 0;
        state.counters["marks_right"] = marksJudged ? double(marksRight) / marksJudged : 0;
        std::sort(atEnds.begin(), atEnds.end());
        std::sort(inside.begin(), inside.end());
        std::printf("pauses at sentence ends (ms):");
        for (int p : atEnds)
            std::printf(" %d", p);
        std::printf("\npauses inside sentences (ms):");
        for (int p : inside)
            std::printf(" %d", p);
        std::printf("\n");
    }
}
// Argument 1 prints every paragraph as formatted.
BENCHMARK(BM_SentenceBoundaries)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv) {
    return quovant::bench::runInTemporaryHome(argc, argv);
}
