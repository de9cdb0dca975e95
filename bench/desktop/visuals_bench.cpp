// What the overlay and the first-run window cost on a real X server: one meter tick of the
// recording capsule (read the level, advance the smoothing, paint, hand to the server), taken
// 30 times a second while recording; and each live check the first-run window polls every
// 0.7 s on the main thread (display, sound input, accessibility bus).
#include "app/desktop/overlay/recording_overlay.h"
#include "platform/linux/desktop/accessibility_bus.h"
#include "platform/linux/desktop/display_capabilities.h"
#include "platform/linux/desktop/sound_input_probe.h"
#include "support/accessibility_bus.h"
#include "support/desktop_peers.h"
#include "support/pulse_server.h"

#include <QApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDeadlineTimer>
#include <QWidget>
#include <QWindow>

#include <benchmark/benchmark.h>

#include <memory>

using namespace Qt::StringLiterals;
using namespace quovant;

namespace {

bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 20000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

void overlayTick(benchmark::State& state) {
    RecordingOverlay overlay;
    float level = 0.1f;
    overlay.levelProvider = [&] {
        level = level > 0.9f ? 0.1f : level + 0.07f;
        return level;
    };
    overlay.show(PipelineState::recording(), PipelineMode::dictation);
    if (!waitUntil([&] { return overlay.window()->windowHandle()->isExposed(); })) {
        state.SkipWithError("overlay never exposed");
        return;
    }
    for (auto _ : state) {
        // What one timer tick does, painted at once instead of at the next event-loop turn.
        overlay.levelProvider();
        overlay.window()->repaint();
    }
    overlay.hide();
}
BENCHMARK(overlayTick)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

void displayProbe(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(DisplayCapabilities::probe());
    }
}
BENCHMARK(displayProbe)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

void soundInputProbe(benchmark::State& state) {
    testing::PulseServer server;
    if (!server.running() || !server.loadSineSource(u"mic"_s, 16000, 440) ||
        !server.setDefaultSource(u"mic"_s)) {
        state.SkipWithError("no private sound server");
        return;
    }
    for (auto _ : state) {
        if (!SoundInputProbe::probe(5000).available()) {
            state.SkipWithError("source not seen");
            return;
        }
    }
}
BENCHMARK(soundInputProbe)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

void accessibilityBusProbe(benchmark::State& state) {
    // The real bus launcher of at-spi2-core on a private session bus.
    static testing::AccessibilityBus launcher;
    if (!launcher.running() || !launcher.setEnabled(true)) {
        state.SkipWithError("no accessibility bus launcher");
        return;
    }
    QDBusConnection connection = QDBusConnection::connectToBus(
        launcher.sessionAddress(), u"bench@"_s + launcher.sessionAddress());
    AccessibilityBus accessibility(connection);
    int off = 0;
    for (auto _ : state) {
        // A reply later than the probe's limit reads as off; count those rather than stop.
        off += accessibility.isEnabled() ? 0 : 1;
    }
    state.counters["read_as_off"] = off;
}
BENCHMARK(accessibilityBusProbe)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

} // namespace

int main(int argc, char** argv) {
    testing::XvfbServer display;
    if (!display.running()) {
        return 1;
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
