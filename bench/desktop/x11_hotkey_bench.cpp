// Push-to-talk keys on a real X server: XTest key press → onPress on the main thread (and the
// release likewise), and the idle CPU of three armed listeners.

#include "bench/desktop/x11_bench_support.h"
#include "platform/linux/x11/linux_hotkey.h"

#include <QElapsedTimer>

#include <sys/resource.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

using namespace quovant;

namespace {

constexpr int kRightAlt = 108;

void BM_KeyToCallback(benchmark::State& state) {
    Display* display = XOpenDisplay(nullptr);
    LinuxHotkey hotkey(PushToTalkKey::rightOption);
    int presses = 0;
    int releases = 0;
    QElapsedTimer clock;
    std::vector<double> pressMS;
    std::vector<double> releaseMS;
    hotkey.onPress = [&] {
        pressMS.push_back(double(clock.nsecsElapsed()) / 1e6);
        ++presses;
    };
    hotkey.onRelease = [&] {
        releaseMS.push_back(double(clock.nsecsElapsed()) / 1e6);
        ++releases;
    };
    if (display == nullptr || !hotkey.start()) {
        state.SkipWithError("no display");
        return;
    }
    int round = 0;
    for (auto _ : state) {
        ++round;
        clock.start();
        XTestFakeKeyEvent(display, kRightAlt, True, CurrentTime);
        XFlush(display);
        bench::waitUntil([&] { return presses == round; });
        clock.start();
        XTestFakeKeyEvent(display, kRightAlt, False, CurrentTime);
        XFlush(display);
        bench::waitUntil([&] { return releases == round; });
    }
    bench::reportPercentiles(state, pressMS);
    if (!releaseMS.empty()) {
        state.counters["release_p99_ms"] = bench::percentile(releaseMS, 0.99);
    }
    XCloseDisplay(display);
}
BENCHMARK(BM_KeyToCallback)->Iterations(500)->Unit(benchmark::kMillisecond);

double processCpuMS() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec * 1e3 + usage.ru_utime.tv_usec / 1e3 +
           usage.ru_stime.tv_sec * 1e3 + usage.ru_stime.tv_usec / 1e3;
}

void BM_IdleListeners(benchmark::State& state) {
    LinuxHotkey talk(PushToTalkKey::rightOption);
    LinuxHotkey edit(PushToTalkKey::rightCommand);
    LinuxHotkey prompt(PushToTalkKey::fn);
    if (!talk.start() || !edit.start() || !prompt.start()) {
        state.SkipWithError("no display");
        return;
    }
    const int seconds = int(state.range(0));
    for (auto _ : state) {
        const double before = processCpuMS();
        // The main thread sleeps: whatever CPU is used belongs to the listeners and watchdogs.
        QThread::sleep(seconds);
        state.counters["cpu_ms_total"] = processCpuMS() - before;
        state.counters["cpu_percent"] = (processCpuMS() - before) / (seconds * 10.0);
    }
}
BENCHMARK(BM_IdleListeners)->Arg(60)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

QUOVANT_X11_BENCHMARK_MAIN()
