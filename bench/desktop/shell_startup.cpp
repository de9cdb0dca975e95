// Start-up of the real program on a private desktop: process start to the "Ready." log line
// (models prepared, keys armed), and its memory and processor use once it sits idle with the
// recogniser prepared and the microphone warm.

#include "desktop_app/running_quovant.h"

#include <QCoreApplication>
#include <QFile>
#include <QThread>
#include <benchmark/benchmark.h>

#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace quovant::testing;

namespace {

// Resident memory in megabytes, from /proc.
double residentMB(qint64 pid) {
    QFile status(u"/proc/"_s + QString::number(pid) + u"/status"_s);
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
        }
    }
    return -1;
}

// User and system time of a process so far, in seconds.
double cpuSeconds(qint64 pid) {
    QFile stat(u"/proc/"_s + QString::number(pid) + u"/stat"_s);
    if (!stat.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const QByteArray text = stat.readAll();
    // Fields after the command name, which may hold blanks: state is field 3, utime 14, stime 15.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) /
           double(sysconf(_SC_CLK_TCK));
}

void StartupToReady(benchmark::State& state) {
    for (auto _ : state) {
        RunningQuovant quovant(R"({"playSounds": false})");
        if (!quovant.start()) {
            state.SkipWithError(quovant.failure().toUtf8().constData());
            return;
        }
        state.SetIterationTime(double(quovant.startupMs()) / 1000.0);
    }
}
BENCHMARK(StartupToReady)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void IdleFootprint(benchmark::State& state) {
    const int idleSeconds = int(state.range(0));
    for (auto _ : state) {
        // A returning user: the first-run window stays closed.
        RunningQuovant quovant(R"({"playSounds": false, "didCompleteOnboarding": true})");
        if (!quovant.start() || !quovant.waitForLog(u"Microphone ready"_s, 30000)) {
            state.SkipWithError(quovant.failure().toUtf8().constData());
            return;
        }
        // Let start-up work (indexing, the first health checks) settle before measuring.
        QThread::sleep(5);
        const double before = cpuSeconds(quovant.processId());
        QThread::sleep(idleSeconds);
        const double after = cpuSeconds(quovant.processId());
        state.counters["rss_MB"] = residentMB(quovant.processId());
        state.counters["cpu_percent_of_core"] = 100.0 * (after - before) / idleSeconds;
        state.SetIterationTime(idleSeconds);
    }
}
BENCHMARK(IdleFootprint)->Arg(60)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
