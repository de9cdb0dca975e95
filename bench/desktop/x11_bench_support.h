#pragma once

// Shared by the X11 desktop benchmarks: the main that starts Xvfb, the paste-target driver and
// percentile counters.

#include "bench/percentile.h"
#include "support/desktop_peers.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <sys/prctl.h>
#include <vector>

namespace quovant::bench {

inline bool waitUntil(const std::function<bool()>& done, int timeoutMs = 15000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    return true;
}

inline void reportPercentiles(benchmark::State& state, std::vector<double> samplesMS) {
    if (samplesMS.empty()) {
        return;
    }
    state.counters["p50_ms"] = percentile(samplesMS, 0.50);
    state.counters["p99_ms"] = percentile(samplesMS, 0.99);
    state.counters["max_ms"] = percentile(samplesMS, 1.0);
}

// The paste-target program (built with the tests) as a separate X client.
class PasteTargetProcess {
public:
    PasteTargetProcess() {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        m_process.setProcessEnvironment(environment);
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        m_process.start(QCoreApplication::applicationDirPath() +
                        QStringLiteral("/../tests/quovant_paste_target"));
        waitForLine("READY", 30000);
    }
    ~PasteTargetProcess() {
        m_process.write("quit\n");
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }
    bool ready() const { return m_ready; }

    // Waits for a line starting with `prefix`; lines before it are dropped.
    std::optional<QByteArray> waitForLine(const QByteArray& prefix, int timeoutMs = 15000) {
        QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            while (m_process.canReadLine()) {
                const QByteArray line = m_process.readLine().trimmed();
                if (line.startsWith("READY")) {
                    m_ready = true;
                }
                if (line.startsWith("TEXT line ")) {
                    m_lineText = QString::fromUtf8(QByteArray::fromBase64(line.mid(10)));
                }
                if (line.startsWith(prefix)) {
                    return line;
                }
            }
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning) {
                return std::nullopt;
            }
            // The clipboard owner may be a thread of this process; keep the main thread live.
            m_process.waitForReadyRead(1);
            QCoreApplication::processEvents();
        }
    }
    bool waitForLineText(const QString& expected, int timeoutMs = 15000) {
        QDeadlineTimer deadline(timeoutMs);
        while (m_lineText != expected) {
            if (!waitForLine("TEXT line", int(std::max<qint64>(1, deadline.remainingTime())))) {
                return false;
            }
        }
        return true;
    }
    const QString& lineText() const { return m_lineText; }
    bool command(const QByteArray& line, const QByteArray& answer) {
        m_process.write(line + '\n');
        return waitForLine(answer).has_value();
    }

private:
    QProcess m_process;
    bool m_ready = false;
    QString m_lineText;
};

} // namespace quovant::bench

// A main for desktop benchmarks: one Xvfb for the whole run, the widgets application offscreen.
#define QUOVANT_X11_BENCHMARK_MAIN()                                                               \
    int main(int argc, char** argv) {                                                              \
        QTemporaryDir home;                                                                        \
        qputenv("QUOVANT_HOME", home.path().toUtf8());                                             \
        qputenv("QT_QPA_PLATFORM", "offscreen");                                                   \
        QApplication app(argc, argv);                                                              \
        quovant::testing::XvfbServer xvfb;                                                         \
        if (!xvfb.running()) {                                                                     \
            return 1;                                                                              \
        }                                                                                          \
        ::benchmark::Initialize(&argc, argv);                                                      \
        ::benchmark::RunSpecifiedBenchmarks();                                                     \
        ::benchmark::Shutdown();                                                                   \
        return 0;                                                                                  \
    }
