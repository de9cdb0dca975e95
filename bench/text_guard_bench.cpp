#include "formatting/formatter_prompt.h"
#include "formatting/rewrite_command.h"
#include "formatting/rewrite_guard.h"
#include "formatting/transcript_guard.h"
#include "speech/contextual_alternative_selector.h"
#include "speech/recognition_context_builder.h"

#include <benchmark/benchmark.h>

#include <QStringList>

#include <random>

using namespace Qt::StringLiterals;
using namespace quovant;

namespace {

const QStringList& dictionary() {
    static const QStringList kWords = [] {
        QStringList words = u"we should move the release to thursday because the build for the "
                            u"installer is still failing on the staging server and marketing "
                            u"wants the naïve café screenshots updated before anyone sends the "
                            u"announcement to customers in zürich or tel aviv"_s.split(u' ');
        words += QStringList{u"um"_s, u"uh"_s, u"like"_s, u"you"_s, u"know"_s};
        return words;
    }();
    return kWords;
}

// A spoken-style transcript of `count` words and a plausible clean-up of it: fillers dropped,
// sentences capitalised and punctuated.
std::pair<QString, QString> dictation(int count) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> pick(0, int(dictionary().size()) - 1);
    QStringList raw;
    QString answer;
    for (int i = 0; i < count; ++i) {
        const QString& word = dictionary()[pick(random)];
        raw.append(word);
        if (word == u"um"_s || word == u"uh"_s) {
            continue;
        }
        const bool sentenceStart = answer.isEmpty() || answer.endsWith(u'.');
        if (!answer.isEmpty()) {
            answer += u' ';
        }
        answer += sentenceStart ? word.left(1).toUpper() + word.mid(1) : word;
        if (i % 12 == 11) {
            answer += u'.';
        }
    }
    return {raw.join(u' '), answer + u'.'};
}

void transcriptGuardEvaluate(benchmark::State& state) {
    const auto [raw, answer] = dictation(int(state.range(0)));
    const TranscriptGuard guard;
    for (auto _ : state) {
        benchmark::DoNotOptimize(guard.evaluate(raw, answer));
    }
    state.SetLabel(TranscriptGuard::rawValue(guard.evaluate(raw, answer).verdict).toStdString());
}
BENCHMARK(transcriptGuardEvaluate)->Arg(1000)->Unit(benchmark::kMicrosecond);

// The same answer with every word misspelt by one letter: the guard looks for spelling fixes
// and explanations for every dropped word before it refuses.
QString misspelt(const QString& text) {
    QStringList words = text.split(u' ');
    for (QString& word : words) {
        if (word.size() > 3) {
            word[1] = word[1] == u'x' ? u'y' : u'x';
        }
    }
    return words.join(u' ');
}

void transcriptGuardHostile(benchmark::State& state) {
    const auto [raw, answer] = dictation(int(state.range(0)));
    const QString hostile = misspelt(answer) + u" Call John at 5:30 && rm -rf ~"_s;
    const TranscriptGuard guard;
    for (auto _ : state) {
        benchmark::DoNotOptimize(guard.evaluate(raw, hostile));
    }
    state.SetLabel(TranscriptGuard::rawValue(guard.evaluate(raw, hostile).verdict).toStdString());
}
BENCHMARK(transcriptGuardHostile)->Arg(1000)->Unit(benchmark::kMicrosecond);

// A selection of `count` words with names, numbers and addresses, and a grammar fix of it.
std::pair<QString, QString> selection(int count) {
    const auto [raw, answer] = dictation(count);
    const QString facts = u" Call Anna at 10:30 about PR-42 and mail ops@example.org."_s;
    return {raw + facts, answer + facts};
}

void rewriteGuardEvaluate(benchmark::State& state) {
    const auto [original, rewritten] = selection(int(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            RewriteGuard::evaluate(original, rewritten, RewriteCommand::fixGrammar, {}));
    }
    state.SetLabel(
        RewriteGuard::rawValue(
            RewriteGuard::evaluate(original, rewritten, RewriteCommand::fixGrammar, {}).verdict)
            .toStdString());
}
BENCHMARK(rewriteGuardEvaluate)->Arg(1000)->Unit(benchmark::kMicrosecond);

void rewriteGuardHostile(benchmark::State& state) {
    const auto [original, rewritten] = selection(int(state.range(0)));
    const QString hostile = misspelt(rewritten) + u" Ask John && rm -rf ~"_s;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            RewriteGuard::evaluate(original, hostile, RewriteCommand::fixGrammar, {}));
    }
    state.SetLabel(
        RewriteGuard::rawValue(
            RewriteGuard::evaluate(original, hostile, RewriteCommand::fixGrammar, {}).verdict)
            .toStdString());
}
BENCHMARK(rewriteGuardHostile)->Arg(1000)->Unit(benchmark::kMicrosecond);

void sanitizePlausibleAnswer(benchmark::State& state) {
    const auto [raw, answer] = dictation(1000);
    const QString wrapped = u"Sure, here is the cleaned-up text: <think>keep it short</think>\n"
                            u"```text\n\""_s +
                            answer + u"\"\n```\n"_s;
    for (auto _ : state) {
        benchmark::DoNotOptimize(FormatterPrompt::sanitize(wrapped));
    }
}
BENCHMARK(sanitizePlausibleAnswer)->Unit(benchmark::kMicrosecond);

void sanitizeHundredKilobytes(benchmark::State& state) {
    QString answer;
    while (answer.size() < 100 * 1024) {
        answer += dictation(200).second + u"\n\n"_s;
    }
    answer = u"Here's your rewrite:\n\n"_s + answer.left(100 * 1024);
    for (auto _ : state) {
        benchmark::DoNotOptimize(FormatterPrompt::sanitize(answer));
    }
    state.SetBytesProcessed(state.iterations() * answer.size() * 2);
}
BENCHMARK(sanitizeHundredKilobytes)->Unit(benchmark::kMicrosecond);

void sanitizeThinkOpenings(benchmark::State& state) {
    QString answer = u"answer "_s;
    for (int i = 0; i < 10000; ++i) {
        answer += u"<think>"_s;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(FormatterPrompt::sanitize(answer));
    }
}
BENCHMARK(sanitizeThinkOpenings)->Unit(benchmark::kMicrosecond);

void sanitizeThinkBlocks(benchmark::State& state) {
    QString answer;
    for (int i = 0; i < 10000; ++i) {
        answer += u"<think>step</think>"_s;
    }
    answer += u"answer"_s;
    for (auto _ : state) {
        benchmark::DoNotOptimize(FormatterPrompt::sanitize(answer));
    }
}
BENCHMARK(sanitizeThinkBlocks)->Unit(benchmark::kMicrosecond);

QStringList terms(const QString& stem, int count) {
    QStringList result;
    for (int i = 0; i < count; ++i) {
        // A mix of identifiers and plain words, as vocabularies hold.
        result.append(i % 3 == 0 ? stem + u"Handler"_s + QString::number(i)
                                 : stem + QString::number(i));
    }
    return result;
}

void contextualStrings(benchmark::State& state) {
    const QStringList custom = terms(u"custom"_s, 400);
    const QStringList learned = terms(u"learned"_s, 80);
    const QStringList repository = terms(u"repo"_s, 320);
    for (auto _ : state) {
        benchmark::DoNotOptimize(RecognitionContextBuilder::contextualStrings(
            PipelineMode::dictation, custom, learned, repository, {}));
    }
}
BENCHMARK(contextualStrings)->Unit(benchmark::kMicrosecond);

void chooseAlternative(benchmark::State& state) {
    const QStringList phrases = RecognitionContextBuilder::contextualStrings(
        PipelineMode::dictation, terms(u"custom"_s, 400), {}, {}, {});
    const QString primary = u"please ask cloud code to review the speech analyser change"_s;
    const QStringList alternatives{
        u"please ask Claude Code to review the speech analyser change"_s,
        u"please ask cloud code to review the Speech Analyzer change"_s,
        u"please ask Claude Code to review the Speech Analyzer change"_s,
        u"please ask clawed code to review the speech analyser change"_s,
    };
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            ContextualAlternativeSelector::choose(primary, alternatives, phrases));
    }
}
BENCHMARK(chooseAlternative)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
