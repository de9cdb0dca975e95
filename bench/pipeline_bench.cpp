// The pipeline's own overhead from key-up to the injector's call, with engines that answer at once.

#include "bench/percentile.h"
#include "pipeline/pipeline.h"
#include "settings/store.h"
#include "bench/qt_bench_main.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

using namespace quovant;
using namespace Qt::StringLiterals;

namespace {

class SteppedClock final : public PipelineClock {
public:
    qint64 nowMS() const override { return m_now; }
    std::unique_ptr<PipelineTimer> schedule(qint64, std::function<void()>) override {
        return std::make_unique<PipelineTimer>();
    }
    void advance(qint64 milliseconds) { m_now += milliseconds; }

private:
    qint64 m_now = 0;
};

class InstantAsr final : public AsrEngine {
public:
    QString name() const override { return u"instant"_s; }
    bool isStreaming() const override { return true; }
    double requiredSampleRate() const override { return 16000; }
    QCoro::Task<void> prepare() override { co_return; }
    QCoro::Task<void> beginUtterance(QStringList) override { co_return; }
    void append(const AudioChunk&) override {}
    QCoro::Task<QString> finishUtterance() override {
        co_return u"so um please send the quarterly report to Marisol before the Friday "
                  u"meeting and copy the finance team"_s;
    }
    QCoro::Task<void> cancelUtterance() override { co_return; }
};

class InstantFormatter final : public TextFormatter {
public:
    QString name() const override { return u"instant"_s; }
    bool isAvailable() const override { return true; }
    QCoro::Task<void> prepare() override { co_return; }
    QCoro::Task<QString> format(QString, FormattingContext) override {
        co_return u"Please send the quarterly report to Marisol before the Friday meeting and "
                  u"copy the finance team."_s;
    }
    QCoro::Task<QString> rewrite(QString text, RewriteCommand, FormattingContext) override {
        co_return text;
    }
    QCoro::Task<QString> compileDeveloperPrompt(QString text, FormattingContext) override {
        co_return text;
    }
};

class QuietCapture final : public AudioCapturing {
public:
    float currentLevel() const override { return 0; }
    AudioCaptureStatus lastCaptureStatus() const override { return AudioCaptureStatus::usable; }
    void setVoiceProcessingEnabled(bool) override {}
    void prepare() override {}
    void warmUp(double) override {}
    void start(double, bool) override {}
    void stop() override {}
    void writeRetainedAudio(const QString&) override {}
};

class CountingInjector final : public TextInjector {
public:
    void inject(const QString&) override {
        ++count;
        at = std::chrono::steady_clock::now();
    }
    int count = 0;
    std::chrono::steady_clock::time_point at;
};

class FixedApp final : public FrontmostAppProvider {
public:
    FrontmostApp frontmostApp() override { return {u"Editor"_s, u"org.example.editor"_s}; }
};

void keyUpToInjection(benchmark::State& state) {
    QTemporaryDir dir;
    auto clock = std::make_shared<SteppedClock>();
    auto injector = std::make_shared<CountingInjector>();
    PlatformKit kit;
    kit.capture = std::make_shared<QuietCapture>();
    kit.injector = injector;
    kit.frontmostApp = std::make_shared<FixedApp>();
    kit.nativeAsrEngine = [](const Config&) -> std::shared_ptr<AsrEngine> {
        return std::make_shared<InstantAsr>();
    };
    kit.nativeFormatter = []() -> std::shared_ptr<TextFormatter> {
        return std::make_shared<InstantFormatter>();
    };
    Config config;
    config.repositoryContextEnabled = false;
    config.retainHistory = state.range(0) != 0;
    Pipeline pipeline(config, kit, std::make_shared<Store>(dir.path()), clock);

    std::vector<double> micros;
    for (auto _ : state) {
        pipeline.begin(PipelineMode::dictation);
        while (pipeline.isStarting()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents,
                                            1);
        }
        clock->advance(1000);
        const int before = injector->count;
        const auto keyUp = std::chrono::steady_clock::now();
        pipeline.finish(PipelineMode::dictation);
        while (injector->count == before) {
            QCoreApplication::processEvents();
        }
        const double elapsed = std::chrono::duration<double>(injector->at - keyUp).count();
        state.SetIterationTime(elapsed);
        micros.push_back(elapsed * 1e6);
        while (pipeline.state().kind != PipelineState::Kind::idle) {
            QCoreApplication::processEvents();
        }
    }
    state.counters["p50_us"] = bench::percentile(micros, 0.50);
    state.counters["p99_us"] = bench::percentile(micros, 0.99);
    state.counters["max_us"] = bench::percentile(micros, 1.0);
}
BENCHMARK(keyUpToInjection)->Arg(0)->Arg(1)->ArgName("history")->UseManualTime()->Iterations(2000);

} // namespace

int main(int argc, char** argv) {
    return quovant::bench::runInTemporaryHome(argc, argv);
}
