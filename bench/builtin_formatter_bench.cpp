#include "formatting/builtin_formatter.h"
#include "formatting/rewrite_command.h"

#include <benchmark/benchmark.h>

#include <QStringList>

using namespace Qt::StringLiterals;

namespace {

// About 1,000 words of recogniser-style speech with fillers, repetitions and spoken marks.
QString longTranscript() {
    const QString block =
        u"um so i think we should ship the the release on friday comma but uh the tests "
        u"for src/upload.ts are still flaky period you know what i mean question mark "
        u"send it tuesday no wait wednesday period new paragraph "_s;
    QStringList parts;
    while (parts.join(u' ').split(u' ').size() < 1000) {
        parts.append(block);
    }
    return parts.join(u' ');
}

void formatThousandWords(benchmark::State& state) {
    const QString transcript = longTranscript();
    const QStringList vocabulary = {u"Quovant"_s, u"Claude Code"_s, u"PocketSphinx"_s};
    for (auto _ : state) {
        benchmark::DoNotOptimize(quovant::BuiltinFormatter::formatText(transcript, vocabulary));
    }
}
BENCHMARK(formatThousandWords)->Unit(benchmark::kMicrosecond);

void compileThousandWords(benchmark::State& state) {
    const QString transcript = longTranscript();
    for (auto _ : state) {
        benchmark::DoNotOptimize(quovant::BuiltinFormatter::compileText(transcript, {}));
    }
}
BENCHMARK(compileThousandWords)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
