// The microphone against a private sound server: sources made for each case (exact samples
// through a pipe, digital silence from a null sink's monitor, a steady tone), sources taken away
// mid-stream, and the log lines and statuses that come out.

#include "audio_test_support.h"

#include "core/quovant_error.h"
#include "platform/linux/audio/linux_audio_capture.h"
#include "speech/wav_decoder.h"
#include "support/pulse_server.h"
#include "support/test_support.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace quovant;
using namespace quovant::testing;
using namespace Qt::StringLiterals;

namespace {

constexpr double kRate = 16000;

const QString kReadyOn = u"[INFO] Microphone ready · local noise reduction on"_s;
const QString kReadyOff = u"[INFO] Microphone ready · local noise reduction off"_s;

class LinuxAudioCaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.running()) << server.failure().toStdString();
        freshCapture();
    }

    void TearDown() override {
        capture->stop();
        capture.reset();
    }

    // A capture with nothing behind it: no warm stream, no fallback, no recorded chunks.
    void freshCapture() {
        if (capture) {
            capture->stop();
        }
        recorder.clear();
        capture = LinuxAudioCapture::create();
        capture->onChunk = recorder.handler();
    }

    // A pipe source made the default, with its writer open (so it is silent until written).
    void usePipeSource() {
        pipe = server.loadPipeSource(u"mic"_s, int(kRate));
        ASSERT_TRUE(pipe.has_value());
        ASSERT_TRUE(server.setDefaultSource(pipe->source));
        writer = std::make_unique<PipeSourceWriter>(pipe->fifo);
        ASSERT_TRUE(writer->isOpen());
    }

    // A pipe source fed a steady tone in real time, as a live microphone would deliver it.
    std::optional<PulseServer::PipeSource> steadyTone(const QString& name, int rate) {
        auto source = server.loadPipeSource(name, rate);
        if (source) {
            tones.push_back(std::make_unique<PipeSourceWriter>(source->fifo));
            tones.back()->play(sine(std::size_t(rate), 0.3, 440, rate), rate, true);
        }
        return source;
    }

    PulseServer server;
    std::vector<std::unique_ptr<PipeSourceWriter>> tones;
    ChunkRecorder recorder;
    std::shared_ptr<LinuxAudioCapture> capture;
    std::optional<PulseServer::PipeSource> pipe;
    std::unique_ptr<PipeSourceWriter> writer;
};

// A ramp whose every value is distinct, so a lost, repeated or reordered sample shows.
std::vector<float> ramp(std::size_t from, std::size_t count) {
    std::vector<float> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = 0.001f + float(from + i) * 0.00001f;
    }
    return samples;
}

class WarmStartTest : public LinuxAudioCaptureTest {
protected:
    // Warms the capture on `warm` ramp samples, starts a retained recording and checks that the
    // pre-roll and the live audio arrive as one unbroken stretch, the retained copy holding the
    // live part only. A slow consumer keeps the pre-roll hand-over open while more is spoken.
    void handOver(std::size_t warm, bool slowConsumer) {
        usePipeSource();
        capture->setVoiceProcessingEnabled(false); // exact samples, untouched by noise reduction
        LogTail log;
        capture->warmUp(kRate);
        ASSERT_TRUE(log.contains(kReadyOff));
        ASSERT_TRUE(writer->write(ramp(0, warm)));
        ASSERT_TRUE(waitUntil([&] { return capture->currentLevel() > 0; }));

        const std::size_t live = 8000, duringHandOver = slowConsumer ? 3000 : 0;
        bool handingOver = true;
        capture->onChunk = [&, record = recorder.handler()](const AudioChunk& chunk) {
            record(chunk);
            if (std::exchange(handingOver, false) && slowConsumer) {
                EXPECT_TRUE(writer->write(ramp(warm, duringHandOver)));
                // Time for the server to pass it on (a slower machine only makes the case milder).
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
            }
        };
        capture->start(kRate, true);
        ASSERT_TRUE(writer->write(ramp(warm + duringHandOver, live - duringHandOver)));
        const float last = ramp(warm + live - 1, 1).front();
        ASSERT_TRUE(waitUntil([&] {
            const auto samples = recorder.samples();
            return !samples.empty() && samples.back() == last;
        }));
        capture->stop();
        EXPECT_EQ(capture->lastCaptureStatus(), AudioCaptureStatus::usable);

        const auto chunks = recorder.chunks();
        ASSERT_FALSE(chunks.empty());
        const std::size_t preRoll = chunks.front().samples.size();
        EXPECT_LE(preRoll, std::size_t(kRate * 0.6)); // the pre-roll comes first, in one piece
        EXPECT_GT(preRoll, 0u);
        for (const AudioChunk& chunk : chunks) {
            EXPECT_EQ(chunk.sampleRate, kRate);
        }
        // Everything delivered is one unbroken stretch of the ramp that ends with the last sample.
        const auto samples = recorder.samples();
        const auto firstIndex =
            static_cast<std::size_t>(std::lround((samples.front() - 0.001f) / 0.00001f));
        EXPECT_EQ(samples, ramp(firstIndex, warm + live - firstIndex));

        QTemporaryDir dir;
        const QString wav = dir.filePath(u"kept.wav"_s);
        capture->writeRetainedAudio(wav);
        const auto decoded = WavDecoder::decode(readFile(wav));
        EXPECT_EQ(decoded.samples.size(), samples.size() - preRoll);
        ASSERT_FALSE(decoded.samples.empty());
        EXPECT_NEAR(decoded.samples.front(), samples[preRoll], 1.0 / 32767);
        EXPECT_EQ(permissions(wav), 0600);
    }
};

// A full second of warm audio: more than the pre-roll keeps.
TEST_F(WarmStartTest, HandsOverThePreRollThenLiveAudioWithoutGapOrRepeat) {
    handOver(16000, false);
}

// Little warm audio, so that whatever the server's pace nothing spoken during the slow hand-over
// is pushed out of the pre-roll's room.
TEST_F(WarmStartTest, AudioSpokenWhileAConsumerTakesThePreRollIsRetained) {
    handOver(2000, true);
}

// Each recording is judged by what it delivered; a bad one tears the stream down and, with noise
// reduction on, sends the next start to raw input until the setting changes.
TEST_F(LinuxAudioCaptureTest, ClassifiesEachRecordingAndFallsBackToRawInputAfterABadOne) {
    struct Row {
        const char* name;
        bool voiceProcessing;
        std::vector<float> written;
        AudioCaptureStatus status;
        QString line; // empty: no classification line at all
    };
    const std::vector<Row> rows = {
        {"loud ramp", true, ramp(0, 8000), AudioCaptureStatus::usable, {}},
        // Level 12 × RMS ≈ 0.004 for a sine of amplitude 0.0005 (untouched by noise reduction).
        {"quiet tone", false, sine(8000, 0.0005, 400, kRate), AudioCaptureStatus::usable,
         u"[WARN] Captured 0.5s of audio but it was silent (peak 0.004). Wrong input device, or "
         u"muted?"_s},
        {"all zero", true, std::vector<float>(8000, 0.0f), AudioCaptureStatus::digitalSilence,
         u"[ERROR] DIGITAL SILENCE — captured 0.5s but every PCM sample was zero. The audio "
         u"engine will be rebuilt before the next dictation."_s},
        {"nothing written", true, {}, AudioCaptureStatus::noBuffers,
         u"[ERROR] NO AUDIO CAPTURED — the microphone delivered zero samples. Check the input "
         u"device in Settings › Sound."_s},
    };
    usePipeSource();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        freshCapture();
        capture->setVoiceProcessingEnabled(row.voiceProcessing);
        LogTail log;
        capture->start(kRate, false);
        // Noise reduction works on whole 10 ms frames: it changes values, never their number.
        ASSERT_TRUE(writer->write(row.written));
        ASSERT_TRUE(waitUntil([&] { return recorder.sampleCount() >= row.written.size(); }));
        capture->stop();
        EXPECT_EQ(capture->lastCaptureStatus(), row.status);
        const QStringList lines = log.messages();
        EXPECT_TRUE(lines.contains(row.voiceProcessing ? kReadyOn : kReadyOff))
            << lines.join(u'\n').toStdString();
        for (const QString& line : lines) {
            const bool classification = line.contains(u"DIGITAL SILENCE"_s) ||
                                        line.contains(u"NO AUDIO CAPTURED"_s) ||
                                        line.contains(u"Captured "_s);
            if (classification) {
                EXPECT_EQ(line, row.line);
            }
        }
        if (!row.line.isEmpty()) {
            EXPECT_TRUE(lines.contains(row.line)) << lines.join(u'\n').toStdString();
        }
        const bool bad = row.status != AudioCaptureStatus::usable;
        EXPECT_EQ(capture->voiceProcessingActive(), row.voiceProcessing && !bad);
        if (bad) {
            // Torn down: the next start builds a fresh stream, on raw input.
            LogTail next;
            capture->start(kRate, false);
            EXPECT_TRUE(next.contains(kReadyOff));
            capture->stop();
            // Turning the setting off and on again clears the fallback.
            capture->setVoiceProcessingEnabled(false);
            capture->setVoiceProcessingEnabled(true);
            EXPECT_TRUE(capture->voiceProcessingActive());
        }
    }
}

// One rebuild per recording: a stream that fails again is reported, not rebuilt forever.
TEST_F(LinuxAudioCaptureTest, ASecondFailureInOneRecordingExhaustsRecovery) {
    struct Row {
        const char* name;
        bool zeros;
        QString problem;
        QString exhausted;
    };
    const std::vector<Row> rows = {
        {"no buffers from a pipe nobody writes", false, u"audio stream stopped"_s,
         u"[ERROR] Microphone recovery exhausted: audio callbacks did not resume."_s},
        {"zeros in real time", true, u"digital silence"_s,
         u"[ERROR] Microphone recovery exhausted: the input still returns digital silence."_s},
    };
    usePipeSource();
    const auto silent = server.loadPipeSource(u"silent"_s, int(kRate));
    ASSERT_TRUE(silent.has_value());
    PipeSourceWriter zeros(silent->fifo);
    zeros.play(std::vector<float>(std::size_t(kRate), 0.0f), int(kRate), true);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(server.setDefaultSource(row.zeros ? silent->source : pipe->source));
        freshCapture();
        LogTail log;
        capture->start(kRate, false);
        ASSERT_TRUE(waitForLog(log, row.exhausted)) << log.messages().join(u'\n').toStdString();
        const QString rebuilding = u"[WARN] Microphone became unhealthy while listening ("_s +
                                   row.problem +
                                   u"). Rebuilding it now without local noise reduction."_s;
        EXPECT_EQ(countLog(log, rebuilding), 1);
        EXPECT_EQ(countLog(log, u"[INFO] Microphone recovered while listening."_s), 1);
        EXPECT_EQ(countLog(log, kReadyOn), 1);
        EXPECT_EQ(countLog(log, kReadyOff), 1);
        // The checks have stopped: nothing more happens while the recording goes on.
        QThread::msleep(2000);
        EXPECT_EQ(countLog(log, kReadyOff), 1);
        capture->stop();
    }
}

TEST_F(LinuxAudioCaptureTest, AHealthCheckArmedBeforeStopDoesNothingAfterIt) {
    usePipeSource();
    LogTail log;
    capture->start(kRate, false); // nothing is written: the check would find a stopped stream
    capture->stop();
    EXPECT_EQ(capture->lastCaptureStatus(), AudioCaptureStatus::noBuffers);
    QThread::msleep(2000); // well past the 750 ms the check was armed for
    for (const QString& line : log.messages()) {
        EXPECT_FALSE(line.contains(u"Microphone became unhealthy"_s)) << line.toStdString();
        EXPECT_FALSE(line.contains(u"Microphone ready"_s) && line != kReadyOn)
            << line.toStdString();
    }
    EXPECT_EQ(countLog(log, kReadyOn), 1);
}

// Taking the source away moves the stream elsewhere; the health checks rebuild it on whatever
// source the server now offers, warm or mid-recording.
TEST_F(LinuxAudioCaptureTest, ASourceRemovedUnderTheStreamIsRebuiltWarmAndWhileListening) {
    const auto tone = steadyTone(u"tone"_s, int(kRate));
    ASSERT_TRUE(tone.has_value());
    ASSERT_TRUE(steadyTone(u"spare"_s, 48000).has_value());
    ASSERT_TRUE(server.setDefaultSource(u"tone"_s));
    LogTail log;
    capture->warmUp(kRate);
    ASSERT_TRUE(log.contains(kReadyOn));
    ASSERT_TRUE(server.unloadModule(tone->module));
    ASSERT_TRUE(waitForLog(log, u"[INFO] Microphone recovered in the background."_s))
        << log.messages().join(u'\n').toStdString();
    EXPECT_TRUE(
        log.contains(u"[WARN] Warm microphone health check found a stopped engine. Restarting it."_s));

    const auto second = steadyTone(u"tone2"_s, int(kRate));
    ASSERT_TRUE(second.has_value());
    ASSERT_TRUE(server.setDefaultSource(u"tone2"_s));
    capture->start(kRate, false);
    ASSERT_TRUE(waitUntil([&] { return recorder.sampleCount() > 0; }));
    ASSERT_TRUE(server.unloadModule(second->module));
    ASSERT_TRUE(waitForLog(log, u"[INFO] Microphone recovered while listening."_s))
        << log.messages().join(u'\n').toStdString();
    EXPECT_TRUE(log.contains(u"[WARN] Microphone became unhealthy while listening (audio stream "
                             u"stopped). Rebuilding it now without local noise reduction."_s));
    const std::size_t before = recorder.sampleCount();
    ASSERT_TRUE(waitUntil([&] { return recorder.sampleCount() > before + 3200; }));
    capture->stop();
    EXPECT_EQ(capture->lastCaptureStatus(), AudioCaptureStatus::usable);
}

TEST_F(LinuxAudioCaptureTest, StartFailsWithTheErrorTheUserCanActOn) {
    struct Row {
        const char* name;
        std::function<void()> setUp;
        QuovantError::Kind kind;
    };
    QTemporaryDir dir;
    const std::vector<Row> rows = {
        {"a server without sources", [] {}, QuovantError::Kind::noAudioInput},
        {"no server", [&] { qputenv("PULSE_SERVER", (u"unix:"_s + dir.filePath(u"none"_s)).toUtf8()); },
         QuovantError::Kind::noAudioInput},
        {"a server that refuses us",
         [&] {
             const auto refusing = server.loadRefusingListener();
             ASSERT_TRUE(refusing.has_value());
             qputenv("PULSE_SERVER", refusing->toUtf8());
         },
         QuovantError::Kind::microphoneDenied},
    };
    const QByteArray address = qgetenv("PULSE_SERVER");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        row.setUp();
        LogTail log;
        try {
            capture->start(kRate, false);
            ADD_FAILURE() << "started";
        } catch (const QuovantError& error) {
            EXPECT_EQ(error.kind(), row.kind) << error.description().toStdString();
        }
        capture->warmUp(kRate);
        EXPECT_TRUE(log.contains(u"[WARN] Microphone warm-up failed: "_s +
                                 QuovantError(row.kind).description()))
            << log.messages().join(u'\n').toStdString();
        qputenv("PULSE_SERVER", address);
    }
}

TEST_F(LinuxAudioCaptureTest, NoiseReductionRunsWhereItCanAndStepsAsideWhereItCannot) {
    ASSERT_TRUE(steadyTone(u"tone"_s, 48000).has_value());
    ASSERT_TRUE(server.setDefaultSource(u"tone"_s));
    for (const double rate : {16000.0, 48000.0, 22050.0}) {
        SCOPED_TRACE(rate);
        recorder.clear();
        LogTail log;
        capture->start(rate, false);
        ASSERT_TRUE(waitUntil([&] { return recorder.sampleCount() >= std::size_t(rate / 5); }));
        capture->stop();
        EXPECT_EQ(capture->lastCaptureStatus(), AudioCaptureStatus::usable);
        EXPECT_EQ(recorder.chunks().front().sampleRate, rate);
        const bool supported = rate != 22050.0;
        EXPECT_TRUE(log.contains(supported ? kReadyOn : kReadyOff));
        if (!supported) {
            EXPECT_TRUE(log.contains(u"[WARN] Speech noise reduction could not be enabled: WebRTC "
                                     u"audio processing refused 22050 Hz: the rate is not a "
                                     u"multiple of 100 Hz from 8000 Hz up"_s));
        }
    }
}

} // namespace
