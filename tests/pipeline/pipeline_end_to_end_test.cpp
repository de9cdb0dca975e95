// One dictation through the real embedded recogniser, built-in formatter, store and learner; only
// the microphone, the injector and the desktop are doubles.

#include "pipeline_test_fixture.h"

#include "pipeline/engine_factory.h"
#include "speech/wav_decoder.h"
#include "support/wait.h"

#include <QProcess>

using namespace quovant;
using namespace quovant::testing;

namespace {

// The real recogniser decodes on this machine's cores, which other work may be using: the waits
// end as soon as their condition holds, and only a generous limit keeps a broken run from hanging.
constexpr int kRecogniserLimitMs = 180'000;

// Plays a recording into the recogniser in 100 ms chunks as soon as capture starts.
class PlaybackCapture final : public AudioCapturing {
public:
    std::vector<float> samples;

    float currentLevel() const override { return 0; }
    AudioCaptureStatus lastCaptureStatus() const override { return AudioCaptureStatus::usable; }
    void setVoiceProcessingEnabled(bool) override {}
    void prepare() override {}
    void warmUp(double) override {}
    void start(double sampleRate, bool) override {
        const auto chunk = static_cast<std::size_t>(sampleRate / 10);
        for (std::size_t at = 0; at < samples.size(); at += chunk) {
            const auto end = std::min(samples.size(), at + chunk);
            onChunk(AudioChunk{std::vector<float>(samples.begin() + at, samples.begin() + end),
                               sampleRate});
        }
    }
    void stop() override {}
    void writeRetainedAudio(const QString&) override {}
};

TEST(PipelineEndToEnd, SpokenDictationArrivesAndIsRememberedOnDisk) {
    QTemporaryDir dir;
    const QString wav = dir.filePath(u"spoken.wav"_qs);
    ASSERT_TRUE(quovant::testing::speakWithFlite(
        u"slt"_qs, u"please send the quarterly report to the finance team"_qs, wav))
        << "flite did not run";
    const auto decoded = WavDecoder::decode(readFile(wav));
    ASSERT_FALSE(decoded.samples.empty());

    auto capture = std::make_shared<PlaybackCapture>();
    capture->samples = decoded.samples;
    auto frontmost = std::make_shared<FakeFrontmost>();
    auto injector = std::make_shared<FakeInjector>();
    injector->frontmost = frontmost;
    PlatformKit kit;
    kit.capture = capture;
    kit.injector = injector;
    kit.frontmostApp = frontmost;
    kit.notifier = std::make_shared<FakeNotifier>();
    EngineFactory::installNativeEngines(kit);
    Config config;
    config.retainHistory = true;
    config.learnVocabulary = true;
    config.repositoryContextEnabled = false;
    auto clock = std::make_shared<ManualClock>();
    auto store = std::make_shared<Store>(dir.path());
    auto pipeline = std::make_unique<Pipeline>(config, kit, store, clock);
    run(pipeline->prepare());
    ASSERT_EQ(pipeline->state(), PipelineState::idle());

    ASSERT_TRUE(pipeline->begin(PipelineMode::dictation));
    ASSERT_TRUE(waitUntil([&] { return !pipeline->isStarting(); }, kRecogniserLimitMs));
    ASSERT_EQ(pipeline->state(), PipelineState::recording());
    clock->advance(3000);
    pipeline->finish(PipelineMode::dictation);
    ASSERT_TRUE(waitUntil([&] { return pipeline->state().kind == PipelineState::Kind::idle; },
                          kRecogniserLimitMs));

    ASSERT_EQ(injector->deliveries.size(), 1u);
    const QString text = injector->deliveries[0].text;
    EXPECT_TRUE(text.contains(u"report"_qs, Qt::CaseInsensitive)) << text.toStdString();
    EXPECT_TRUE(text.front().isUpper()) << text.toStdString();
    EXPECT_TRUE(text.endsWith(u'.')) << text.toStdString();

    store->totalCount();
    const QByteArray history = readFile(dir.filePath(u"history.jsonl"_qs));
    const auto line = Utterance::parse(history.trimmed());
    ASSERT_TRUE(line.has_value()) << history.toStdString();
    EXPECT_EQ(line->shippedText, text);
    EXPECT_EQ(line->formatter, u"Built-in formatter"_qs);

    pipeline.reset(); // writes the learner's pending save
    const QByteArray learned = readFile(dir.filePath(u"learned.json"_qs));
    EXPECT_TRUE(learned.contains("\"report\"") || learned.contains("quarterly"))
        << learned.toStdString();
}

} // namespace
