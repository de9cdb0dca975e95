// A dictation spoken into the sound server: synthetic speech is played in real time into a pipe
// source, the warm microphone records it (its first syllables from the pre-roll), the embedded
// recogniser and the built-in formatter turn it into text, and the text reaches the injector.

#include "audio_test_support.h"

#include "pipeline/engine_factory.h"
#include "pipeline/pipeline.h"
#include "platform/inert/memory_clipboard.h"
#include "platform/linux/audio/audio_capture_factory.h"
#include "settings/store.h"
#include "speech/wav_decoder.h"
#include "support/pulse_server.h"
#include "support/test_support.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <random>

using namespace quovant;
using namespace quovant::testing;
using namespace Qt::StringLiterals;

namespace {

// Processes events until `done` holds; the cap only keeps a broken test from hanging.
bool settleFor(const std::function<bool()>& done, int capMs = 60000) {
    QElapsedTimer cap;
    cap.start();
    while (!done()) {
        if (cap.elapsed() > capMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
    }
    QCoreApplication::processEvents();
    return true;
}

QStringList words(const QString& text) {
    return text.toLower().split(QRegularExpression(u"[^a-z']+"_s), Qt::SkipEmptyParts);
}

TEST(DictationEndToEnd, SpeechIntoTheSoundServerArrivesAsText) {
    const QString sentence = u"please send the quarterly report to the finance team"_s;
    QTemporaryDir dir;
    const QString wav = dir.filePath(u"spoken.wav"_s);
    ASSERT_TRUE(speakWithFlite(u"slt"_s, sentence, wav)) << "flite did not run";
    const auto speech = WavDecoder::decode(readFile(wav));
    ASSERT_FALSE(speech.samples.empty());
    const int rate = int(speech.sampleRate);

    PulseServer server;
    ASSERT_TRUE(server.running()) << server.failure().toStdString();
    // The source runs at the voice's own rate; the server converts for the recogniser.
    const auto pipe = server.loadPipeSource(u"mic"_s, rate);
    ASSERT_TRUE(pipe.has_value());
    ASSERT_TRUE(server.setDefaultSource(pipe->source));
    PipeSourceWriter writer(pipe->fifo);
    ASSERT_TRUE(writer.isOpen());

    // A real microphone never goes quiet to the last bit: faint room noise around the speech.
    std::mt19937 random(7);
    std::uniform_real_distribution<float> noise(-0.002f, 0.002f);
    const auto room = [&](double seconds) {
        std::vector<float> samples(std::size_t(seconds * rate));
        for (float& sample : samples) {
            sample = noise(random);
        }
        return samples;
    };
    const std::size_t lead = std::size_t(1.5 * rate);
    std::vector<float> signal = room(1.5);
    for (const float sample : speech.samples) {
        signal.push_back(sample + noise(random));
    }
    const std::vector<float> tail = room(0.8); // absorbs the delivery latency before key-up
    signal.insert(signal.end(), tail.begin(), tail.end());

    Config config;
    config.repositoryContextEnabled = false;
    auto capture = makeAudioCapture(config);
    auto frontmost = std::make_shared<FakeFrontmost>();
    auto injector = std::make_shared<FakeInjector>();
    injector->frontmost = frontmost;
    auto clipboard = std::make_shared<MemoryClipboard>();
    PlatformKit kit;
    kit.capture = capture;
    kit.injector = injector;
    kit.frontmostApp = frontmost;
    kit.notifier = std::make_shared<FakeNotifier>();
    kit.clipboard = clipboard;
    EngineFactory::installNativeEngines(kit);
    auto clock = std::make_shared<ManualClock>();
    auto store = std::make_shared<Store>(dir.path());
    auto pipeline = std::make_unique<Pipeline>(config, kit, store, clock);
    run(pipeline->prepare());

    LogTail log;
    writer.play(signal, rate);
    capture->warmUp(16000);
    // The key goes down just after the first word has begun: the pre-roll must bring it back.
    ASSERT_TRUE(waitUntil([&] {
        return writer.samplesWritten() >= std::int64_t(lead + std::size_t(0.15 * rate));
    }));
    ASSERT_TRUE(pipeline->begin(PipelineMode::dictation));
    ASSERT_TRUE(settleFor([&] { return !pipeline->isStarting(); }));
    ASSERT_EQ(pipeline->state(), PipelineState::recording());
    ASSERT_TRUE(writer.waitUntilPlayed(60000));
    clock->advance(3000);
    pipeline->finish(PipelineMode::dictation);
    ASSERT_TRUE(settleFor([&] { return pipeline->state().kind == PipelineState::Kind::idle; }));

    EXPECT_EQ(capture->lastCaptureStatus(), AudioCaptureStatus::usable);
    EXPECT_TRUE(log.contains(u"[INFO] Microphone ready · local noise reduction on"_s))
        << log.messages().join(u'\n').toStdString();
    ASSERT_EQ(injector->deliveries.size(), 1u) << log.messages().join(u'\n').toStdString();
    const QString text = injector->deliveries[0].text;
    const QStringList heard = words(text);
    EXPECT_LE(wordErrors(words(sentence), heard), 3) << text.toStdString();
    EXPECT_TRUE(heard.contains(u"please"_s)) << text.toStdString(); // the pre-roll's word
    pipeline.reset();
}

} // namespace
