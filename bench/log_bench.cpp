#include "settings/log.h"
#include "settings/paths.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

using namespace Qt::StringLiterals;
using namespace quovant;

namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// What the caller pays: the line is only queued, the writer thread does the rest.
void BM_LogWriteCallerCost(benchmark::State& state) {
    const QString message = u"Formatter answered in 412 ms; guard verdict accepted; 37 words"_s;
    for (auto _ : state) {
        Log::info(message);
    }
    // Outside the timed loop: drain before the next repetition starts.
    Log::flush();
}
BENCHMARK(BM_LogWriteCallerCost)->Iterations(200000)->Repetitions(3)->DisplayAggregatesOnly(true);

// 100,000 lines through the writer, across several rotations, checked for order afterwards.
void BM_LogHundredThousandLinesInOrder(benchmark::State& state) {
    constexpr int kLines = 100000;
    int round = 0;
    for (auto _ : state) {
        ++round;
        for (int i = 0; i < kLines; ++i) {
            Log::info(
                u"round %1 line %2 of the ordered run, padded to a realistic length"_s.arg(round)
                    .arg(i));
        }
        Log::flush();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kLines);

    // The newest lines live in the file and its backups, oldest backup first.
    const QString log = Paths::root() + u"/quovant.log"_s;
    QByteArray text;
    for (const QString& part : {log + u".2"_s, log + u".1"_s, log}) {
        text += readAll(part);
    }
    const QByteArray marker = "round " + QByteArray::number(round) + " line ";
    int previous = -1;
    int seen = 0;
    for (const QByteArray& line : text.split('\n')) {
        const qsizetype at = line.indexOf(marker);
        if (at < 0) {
            continue;
        }
        const int number = line.mid(at + marker.size()).split(' ').front().toInt();
        if (number != previous + 1 && previous != -1) {
            state.SkipWithError("lines out of order");
            return;
        }
        previous = number;
        ++seen;
    }
    if (previous != kLines - 1) {
        state.SkipWithError("last line missing");
    }
    state.counters["linesKept"] = seen;
}
BENCHMARK(BM_LogHundredThousandLinesInOrder)->Unit(benchmark::kMillisecond)->Iterations(3);

// Flattening a message made of a very long blank run stays linear.
void BM_FlattenLongBlankRun(benchmark::State& state) {
    const QString message = QString(state.range(0), u' ') + u"x\ny"_s;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Log::flatten(message));
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_FlattenLongBlankRun)->RangeMultiplier(10)->Range(1000, 1000000)->Complexity();

} // namespace

int main(int argc, char** argv) {
    // Everything the log writes lands in a throw-away data directory.
    QTemporaryDir home;
    qputenv("QUOVANT_HOME", home.path().toUtf8());
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Log::flush();
    return 0;
}
