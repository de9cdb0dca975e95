// Typing by paste on a real X server: inject → text in the paste-target program's line edit, and
// a long run of injections interleaved with copies by another client, counting clipboard contents
// lost and texts lost or doubled.

#include "bench/desktop/x11_bench_support.h"
#include "platform/linux/x11/clipboard_owner.h"
#include "platform/linux/x11/linux_text_injector.h"

#include <QElapsedTimer>

using namespace quovant;

namespace {

bool waitForRestore() {
    auto owner = ClipboardOwner::shared();
    return owner && bench::waitUntil([&] { return !owner->hasPendingRestore(); }, 20000);
}

// The clipboard's text as another client reads it (the owner may be a thread of this process).
std::optional<QByteArray> clipboardText() {
    QProcess xclip;
    xclip.start(QStringLiteral("xclip"), {QStringLiteral("-selection"), QStringLiteral("clipboard"),
                                          QStringLiteral("-o"), QStringLiteral("-t"),
                                          QStringLiteral("UTF8_STRING")});
    QDeadlineTimer deadline(15000);
    while (!xclip.waitForFinished(5)) {
        QCoreApplication::processEvents();
        if (deadline.hasExpired()) {
            xclip.kill();
            xclip.waitForFinished(3000);
            return std::nullopt;
        }
    }
    if (xclip.exitCode() != 0) {
        return std::nullopt;
    }
    return xclip.readAllStandardOutput();
}

void BM_InjectToWidget(benchmark::State& state) {
    bench::PasteTargetProcess target;
    if (!target.ready() || !target.command("copy text/plain " + QByteArray("before").toBase64(),
                                           "COPIED")) {
        state.SkipWithError("paste target did not start");
        return;
    }
    LinuxTextInjector injector;
    std::vector<double> samples;
    QString expected;
    int round = 0;
    for (auto _ : state) {
        const QString text = QStringLiteral(" sample %1 ✓").arg(++round);
        expected += text;
        QElapsedTimer clock;
        clock.start();
        injector.inject(text);
        if (!target.waitForLineText(expected)) {
            state.SkipWithError("text did not arrive");
            return;
        }
        samples.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    bench::reportPercentiles(state, samples);
    waitForRestore();
}
BENCHMARK(BM_InjectToWidget)->Iterations(300)->Unit(benchmark::kMillisecond);

void BM_InjectionsInterleavedWithCopies(benchmark::State& state) {
    const int injections = int(state.range(0));
    const int copies = int(state.range(1));
    bench::PasteTargetProcess target;
    if (!target.ready()) {
        state.SkipWithError("paste target did not start");
        return;
    }
    LinuxTextInjector injector;
    int contentsLost = 0;
    int textsLostOrDoubled = 0;
    for (auto _ : state) {
        QString expected;
        const int perCopy = injections / copies;
        for (int copy = 0; copy < copies; ++copy) {
            const QByteArray mine = "user copy " + QByteArray::number(copy);
            target.command("copy text/plain " + mine.toBase64(), "COPIED");
            for (int i = 0; i < perCopy; ++i) {
                const QString text = QStringLiteral("[%1]").arg(copy * perCopy + i);
                expected += text;
                injector.inject(text);
            }
            if (!target.waitForLineText(expected, 30000)) {
                ++textsLostOrDoubled;
                expected = target.lineText();
            }
            waitForRestore();
            if (clipboardText() != mine) {
                ++contentsLost;
            }
        }
    }
    state.counters["clipboard_contents_lost"] = contentsLost;
    state.counters["texts_lost_or_doubled"] = textsLostOrDoubled;
}
BENCHMARK(BM_InjectionsInterleavedWithCopies)
    ->Args({1000, 200})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

} // namespace

QUOVANT_X11_BENCHMARK_MAIN()
