// What the history store and the learner cost: the caller's side of an append, the background
// work of an append at the retention ceiling, the context query of every utterance, and learning
// from one delivered text, and saving a large learned vocabulary.
#include "settings/learner.h"
#include "settings/store.h"

#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

using namespace Qt::StringLiterals;

namespace {

using namespace quovant;

Utterance record(int number, const QString& text) {
    Utterance u;
    u.id = u"8F2C1D0E-5A4B-4C3D-9E8F-%1"_s.arg(number, 12, 10, u'0');
    u.timestamp = QDateTime::currentDateTimeUtc();
    u.appBundleID = u"org.example.Editor"_s;
    u.appName = u"Editor"_s;
    u.rawTranscript = text;
    u.formattedText = text;
    u.shippedText = text;
    u.guardVerdict = u"accepted"_s;
    u.engine = u"whisper.cpp server"_s;
    u.formatter = u"Ollama"_s;
    u.asrMS = 412;
    u.formatMS = 690;
    u.responseMS = 1180;
    return u;
}

const QString kSentence =
    u"Please move the deployment of the billing service to Thursday and tell Priya. "_s;

// A history at both ceilings: 2,000 lines of equal length, just under 8 MiB in all.
void writeFullHistory(const QString& root) {
    const RetentionLimits limits;
    const qsizetype base = record(0, {}).toJson().size() + 1;
    // The padding appears in three fields of each line.
    const QString padding((limits.maxHistoryBytes / limits.maxHistoryEntries - base) / 3, u'x');
    QByteArray bytes;
    for (int i = 0; i < limits.maxHistoryEntries; ++i) {
        bytes += record(i, padding).toJson() + '\n';
    }
    QFile file(root + u"/history.jsonl"_s);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(bytes);
}

void appendCostToTheCaller(benchmark::State& state) {
    QTemporaryDir dir;
    Store store(dir.path(), {1'000'000, 1LL << 32, 100, 1LL << 30});
    const Utterance u = record(1, kSentence + kSentence);
    int pending = 0;
    for (auto _ : state) {
        store.append(u);
        if (++pending == 500) {
            // Keep the queue short so the worker's disk writes do not pile up in memory.
            state.PauseTiming();
            store.totalCount();
            pending = 0;
            state.ResumeTiming();
        }
    }
}
BENCHMARK(appendCostToTheCaller)->Iterations(50'000)->Unit(benchmark::kMicrosecond);

void appendAndPruneAtTheCeiling(benchmark::State& state) {
    QTemporaryDir dir;
    writeFullHistory(dir.path());
    Store store(dir.path());
    const Utterance u = record(9999, QString(4000, u'y'));
    store.totalCount();
    for (auto _ : state) {
        store.append(u);
        // Waits for the append and the prune it triggers.
        benchmark::DoNotOptimize(store.totalCount());
    }
}
BENCHMARK(appendAndPruneAtTheCeiling)->Unit(benchmark::kMillisecond)->UseRealTime();

void recentTranscriptsOfAFullHistory(benchmark::State& state) {
    QTemporaryDir dir;
    writeFullHistory(dir.path());
    Store store(dir.path());
    for (auto _ : state) {
        benchmark::DoNotOptimize(store.recentTranscripts(5));
    }
}
BENCHMARK(recentTranscriptsOfAFullHistory)->Unit(benchmark::kMicrosecond)->UseRealTime();

void learnerIngestOfTwoHundredWords(benchmark::State& state) {
    QTemporaryDir dir;
    Learner learner(dir.path());
    QString text;
    const QStringList words = {u"Deploy"_s,      u"the"_s,        u"Kubernetes"_s, u"cluster"_s,
                               u"with"_s,        u"Terraform"_s,  u"and"_s,        u"check"_s,
                               u"Grafana"_s,     u"dashboards"_s, u"for"_s,        u"latency."_s,
                               u"config.json"_s, u"gpt-4o"_s,     u"Priya"_s,      u"said"_s,
                               u"it's"_s,        u"fine,"_s,      u"really?"_s,    u"Yes!"_s};
    for (int i = 0; i < 200; ++i) {
        text += words[i % words.size()] + u' ';
    }
    for (auto _ : state) {
        learner.ingest(text);
    }
}
BENCHMARK(learnerIngestOfTwoHundredWords)->Unit(benchmark::kMicrosecond);

void learnerIngestOfTwoHundredAccentedWords(benchmark::State& state) {
    QTemporaryDir dir;
    Learner learner(dir.path());
    QString text;
    for (int i = 0; i < 200; ++i) {
        text += (i % 3 == 0 ? u"Café"_s : i % 3 == 1 ? u"naïve"_s : u"Zoë's"_s) + u' ';
    }
    for (auto _ : state) {
        learner.ingest(text);
    }
}
BENCHMARK(learnerIngestOfTwoHundredAccentedWords)->Unit(benchmark::kMicrosecond);

Learner::Model manyTerms(qint64 count) {
    Learner::Model model;
    for (qint64 i = 0; i < count; ++i) {
        const QString word = u"term%1x"_s.arg(i * 2654435761 % 1000003);
        model.terms.insert(word, Learner::Term{word, i % 7 + 1, i % 3 == 0});
    }
    model.utterances = count;
    return model;
}

// What one save of the learned vocabulary costs with state.range(0) terms, inserted in hash
// order as the learner holds them.
void learnerEncodeOfManyTerms(benchmark::State& state) {
    const Learner::Model model = manyTerms(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(Learner::encode(model));
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(learnerEncodeOfManyTerms)
    ->RangeMultiplier(4)
    ->Range(12'500, 200'000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

// Start-up with a learned vocabulary of state.range(0) terms (200,000 is about 12 MB; the file
// may hold at most 32 MiB).
void learnerLoadOfManyTerms(benchmark::State& state) {
    QTemporaryDir dir;
    const QByteArray bytes = Learner::encode(manyTerms(state.range(0)));
    QFile file(dir.filePath(u"learned.json"_s));
    file.open(QIODevice::WriteOnly);
    file.write(bytes);
    file.close();
    state.counters["bytes"] = double(bytes.size());
    for (auto _ : state) {
        Learner learner(dir.path());
        benchmark::DoNotOptimize(learner.learnedCount());
    }
}
BENCHMARK(learnerLoadOfManyTerms)->Arg(200'000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
