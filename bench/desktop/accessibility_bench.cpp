// Edit in Place through the accessibility bus against a real GTK 3 program on Xvfb:
// capturing a large selection, learning a new focus, and what the main thread pays while the
// application in front does not answer.
#include "bench/percentile.h"
#include "platform/linux/accessibility/atspi_reader.h"
#include "platform/linux/accessibility/linux_selection_editor.h"
#include "support/accessibility_bus.h"
#include "support/desktop_peers.h"
#include "support/fields_program.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

using namespace Qt::StringLiterals;
using namespace quovant;
using quovant::bench::percentile;
using Clock = std::chrono::steady_clock;

namespace {

struct Desktop {
    testing::XvfbServer display;
    testing::AccessibilityBus bus;
    std::unique_ptr<testing::FieldsProgram> program;
    std::shared_ptr<AtspiReader> reader;

    Desktop() {
        if (display.running() && bus.running()) {
            reader = std::make_shared<AtspiReader>();
            reader->waitUntilStarted(20000);
        }
    }
    // The program of the benchmark's toolkit (argument 0: GTK 3, 1: Qt 6), started on first use.
    bool ready(const benchmark::State& state) {
        if (!reader || !reader->isBusEnabled()) {
            return false;
        }
        const auto toolkit = state.range(0) == 0 ? testing::FieldsProgram::Toolkit::gtk
                                                 : testing::FieldsProgram::Toolkit::qt;
        if (!program || m_toolkit != toolkit) {
            program.reset();
            program =
                std::make_unique<testing::FieldsProgram>(bus.environment(), u"Bench"_s, toolkit);
            m_toolkit = toolkit;
            // A new program's first focus can be announced before its bridge knows who listens.
            program->focus(u"password"_s);
            program->focus(u"entry"_s);
        }
        return program->ready();
    }

private:
    testing::FieldsProgram::Toolkit m_toolkit = testing::FieldsProgram::Toolkit::gtk;
};

Desktop& desktop() {
    static Desktop instance;
    return instance;
}

bool waitFor(const std::function<bool()>& condition, int timeoutMs = 20000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QThread::usleep(200);
    }
    return true;
}

void report(benchmark::State& state, const std::vector<double>& ms) {
    state.counters["p50_ms"] = percentile(ms, 0.50);
    state.counters["p99_ms"] = percentile(ms, 0.99);
    state.counters["max_ms"] = percentile(ms, 1.0);
}

double since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A 10,000-character editor (several scripts, emoji and line breaks) with 2,000 selected.
void BM_CaptureSelection10kEditor2kSelected(benchmark::State& state) {
    Desktop& d = desktop();
    if (!d.ready(state)) {
        state.SkipWithError("Xvfb, the accessibility bus or the GTK program did not start");
        return;
    }
    QString text;
    const QString line = u"Grüße, 世界 😀 — the quick brown fox jumps over the lazy dog.\n"_s;
    while (text.toUcs4().size() < 10000) {
        text += line;
    }
    text = QString::fromUcs4(
        reinterpret_cast<const char32_t*>(text.toUcs4().first(10000).constData()), 10000);
    d.program->focus(u"editor"_s);
    d.program->setText(u"editor"_s, text);
    d.program->select(u"editor"_s, 6000, 8000);
    LinuxSelectionEditor editor(d.reader, nullptr);
    if (!waitFor([&] {
            try {
                return editor.captureSelection().text.toUcs4().size() == 2000;
            } catch (...) {
                return false;
            }
        })) {
        state.SkipWithError("the selection never became readable");
        return;
    }
    std::vector<double> ms;
    for (auto _ : state) {
        const auto start = Clock::now();
        benchmark::DoNotOptimize(editor.captureSelection());
        ms.push_back(since(start));
    }
    report(state, ms);
}
BENCHMARK(BM_CaptureSelection10kEditor2kSelected)
    ->ArgName("qt")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(200);

// From asking the program to focus another entry until the reader knows the new field's role.
void BM_FocusChangeUntilRoleKnown(benchmark::State& state) {
    Desktop& d = desktop();
    if (!d.ready(state)) {
        state.SkipWithError("Xvfb, the accessibility bus or the GTK program did not start");
        return;
    }
    std::vector<double> ms;
    bool password = false;
    for (auto _ : state) {
        password = !password;
        const auto start = Clock::now();
        d.program->command(password ? u"focus password"_s : u"focus entry"_s);
        const bool known = waitFor([&] {
            const auto field = d.reader->focusedField();
            return field && field->isPassword == password &&
                   field->processID == d.program->processId();
        });
        if (!known) {
            state.SkipWithError("the focus change never reached the reader");
            return;
        }
        ms.push_back(since(start));
    }
    report(state, ms);
}
BENCHMARK(BM_FocusChangeUntilRoleKnown)
    ->ArgName("qt")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(100);

// While the program's main loop is blocked: the injector's secure-field gate (answered from what
// the reader already knows); a first capture, which waits for one call's time-out; and a second
// one, refused at once until the program answers a ping again.
void BM_MainThreadWhileApplicationHangs(benchmark::State& state) {
    Desktop& d = desktop();
    if (!d.ready(state)) {
        state.SkipWithError("Xvfb, the accessibility bus or the GTK program did not start");
        return;
    }
    d.program->focus(u"entry"_s);
    d.program->setText(u"entry"_s, u"frozen while it sleeps"_s);
    d.program->select(u"entry"_s, 0, 6);
    LinuxSelectionEditor editor(d.reader, nullptr);
    std::vector<double> gateMs;
    std::vector<double> captureMs;
    std::vector<double> againMs;
    for (auto _ : state) {
        d.program->hang(3);
        const auto gateStart = Clock::now();
        for (int i = 0; i < 1000; ++i) {
            benchmark::DoNotOptimize(d.reader->focusedFieldIsSecure());
        }
        gateMs.push_back(since(gateStart) / 1000);
        const auto captureStart = Clock::now();
        try {
            editor.captureSelection();
        } catch (...) {
        }
        captureMs.push_back(since(captureStart));
        // Asked again while it still sleeps: refused without another wait.
        const auto againStart = Clock::now();
        try {
            editor.captureSelection();
        } catch (...) {
        }
        againMs.push_back(since(againStart));
        // Wait for the program to wake up before the next round.
        d.program->command(u"get entry"_s);
    }
    state.counters["gate_max_ms"] = percentile(gateMs, 1.0);
    state.counters["capture_p50_ms"] = percentile(captureMs, 0.5);
    state.counters["capture_max_ms"] = percentile(captureMs, 1.0);
    state.counters["again_max_ms"] = percentile(againMs, 1.0);
}
BENCHMARK(BM_MainThreadWhileApplicationHangs)
    ->ArgName("qt")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // The peers stop here, while the application still exists.
    desktop().reader.reset();
    desktop().program.reset();
    return 0;
}
