#include "formatting/developer_prompt_anchors.h"
#include "formatting/developer_prompt_document.h"
#include "formatting/developer_prompt_guard.h"
#include "formatting/rewrite_guard.h"
#include "repository/repository_context.h"

#include <benchmark/benchmark.h>

#include <QStringList>

using namespace Qt::StringLiterals;
using namespace quovant;

namespace {

// A spoken request of about `words` words with the facts a real one carries.
QString request(int words) {
    const QStringList pool = {
        u"please"_s,        u"rename"_s, u"the"_s,  u"fetchUser"_s,   u"helper"_s,   u"in"_s,
        u"api/client.ts"_s, u"and"_s,    u"keep"_s, u"retry_count"_s, u"at"_s,       u"3"_s,
        u"then"_s,          u"run"_s,    u"make"_s, u"test"_s,        u"--filter"_s, u"Parser"_s,
        u"before"_s,        u"10:30"_s,  u"with"_s, u"version"_s,     u"2.4.1"_s,    u"of"_s,
        u"config.json"_s,   u"so"_s,     u"Anna"_s, u"can"_s,         u"review"_s,   u"it"_s,
    };
    QStringList out;
    for (int i = 0; i < words; ++i) {
        out.append(pool[i % pool.size()]);
    }
    return out.join(u' ');
}

QString answerFor(const QString& raw) {
    const QStringList words = raw.split(u' ');
    const qsizetype fifth = words.size() / 5;
    QStringList sections;
    for (int s = 0; s < 5; ++s) {
        sections.append(words.mid(s * fifth, s == 4 ? -1 : fifth).join(u' '));
    }
    return DeveloperPromptDocument{sections[0], sections[1], sections[2], sections[3], sections[4]}
        .rendered();
}

RepositoryContext repository() {
    RepositoryContext context;
    context.rootPath = u"/work/quovant"_s;
    context.name = u"quovant"_s;
    context.branch = u"main"_s;
    context.languages = {u"C++"_s, u"CMake"_s};
    context.keyFiles = {u"README.md"_s, u"CMakeLists.txt"_s, u"config.json"_s};
    context.vocabulary = {u"Quovant"_s, u"FormatterPrompt"_s};
    return context;
}

QStringList vocabulary() {
    QStringList terms;
    for (int i = 0; i < 80; ++i) {
        terms.append(u"Term%1"_s.arg(i));
    }
    return terms;
}

void BM_DeveloperPromptParse(benchmark::State& state) {
    const QString answer = answerFor(request(int(state.range(0))));
    for (auto _ : state) {
        benchmark::DoNotOptimize(DeveloperPromptDocument::parse(answer));
    }
    state.SetBytesProcessed(state.iterations() * answer.size() * 2);
}
BENCHMARK(BM_DeveloperPromptParse)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);

void BM_DeveloperPromptParseRepeatedHeading(benchmark::State& state) {
    QString answer;
    for (int i = 0; i < state.range(0); ++i) {
        answer += u"Goal:\n"_s;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(DeveloperPromptDocument::parse(answer));
    }
}
BENCHMARK(BM_DeveloperPromptParseRepeatedHeading)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_DeveloperPromptGuard(benchmark::State& state) {
    const QString raw = request(int(state.range(0)));
    const QString answer = answerFor(raw);
    const std::optional<RepositoryContext> repo = repository();
    const QStringList terms = vocabulary();
    for (auto _ : state) {
        const auto decision = DeveloperPromptGuard::evaluate(raw, answer, terms, repo);
        if (decision.verdict != DeveloperPromptGuard::Verdict::accepted) {
            state.SkipWithError("the realistic answer was rejected");
            break;
        }
        benchmark::DoNotOptimize(decision);
    }
}
BENCHMARK(BM_DeveloperPromptGuard)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_RewriteGuard(benchmark::State& state) {
    const QString original = request(int(state.range(0)));
    QString rewritten = original;
    rewritten.replace(u"please "_s, QString());
    const QStringList terms = vocabulary();
    for (auto _ : state) {
        const auto decision =
            RewriteGuard::evaluate(original, rewritten, RewriteCommand::makeFormal, terms);
        if (decision.verdict != RewriteGuard::Verdict::accepted) {
            state.SkipWithError("the realistic rewrite was rejected");
            break;
        }
        benchmark::DoNotOptimize(decision);
    }
}
BENCHMARK(BM_RewriteGuard)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

// Hostile input: one long run of path characters with no slash, the worst case of the
// unanchored address and path patterns.
void BM_AnchorsLongToken(benchmark::State& state) {
    const QString text(state.range(0), u'a');
    for (auto _ : state) {
        benchmark::DoNotOptimize(DeveloperPromptAnchors::extract(text, {}));
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_AnchorsLongToken)
    ->RangeMultiplier(4)
    ->Range(1000, 16000)
    ->Complexity()
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
