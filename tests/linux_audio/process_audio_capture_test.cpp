// The recorder-process capture with real recorder programs: small shell and Python scripts that
// write raw PCM the way a recorder would, including in pieces that split samples.

#include "audio_test_support.h"

#include "core/quovant_error.h"
#include "platform/linux/audio/audio_capture_factory.h"
#include "platform/linux/audio/linux_audio_capture.h"
#include "platform/linux/audio/process_audio_capture.h"
#include "speech/wav_decoder.h"
#include "support/test_support.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>

using namespace quovant;
using namespace quovant::testing;
using namespace Qt::StringLiterals;

namespace {

QByteArray pcm(const std::vector<std::int16_t>& samples) {
    QByteArray bytes;
    for (const std::int16_t sample : samples) {
        bytes.append(char(sample & 0xff));
        bytes.append(char((sample >> 8) & 0xff));
    }
    return bytes;
}

// Runs `command` until `done` holds (or the recorder ends) and gives back what arrived.
std::vector<AudioChunk> record(ProcessAudioCapture& capture, ChunkRecorder& recorder,
                               const std::function<bool()>& done, bool retain = false) {
    capture.onChunk = recorder.handler();
    capture.start(16000, retain);
    EXPECT_TRUE(waitUntil(done));
    capture.stop();
    return recorder.chunks();
}

TEST(ProcessAudioCapture, RateIsSubstitutedInEveryElement) {
    struct Row {
        QStringList commandTemplate;
        double rate;
        QStringList expected;
    };
    const std::vector<Row> rows = {
        {{u"rec"_s, u"-t"_s, u"raw"_s, u"{RATE}"_s}, 16000, {u"rec"_s, u"-t"_s, u"raw"_s, u"16000"_s}},
        {{u"rec"_s, u"rate={RATE}k"_s, u"{RATE}/{RATE}"_s}, 44100.9,
         {u"rec"_s, u"rate=44100k"_s, u"44100/44100"_s}},
        {{u"rec"_s, u"{rate}"_s}, 8000, {u"rec"_s, u"{rate}"_s}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ProcessAudioCapture::substitute(row.commandTemplate, row.rate), row.expected);
    }
    // And the program really receives them, through /usr/bin/env.
    QTemporaryDir dir;
    const QString out = dir.filePath(u"args"_s);
    ProcessAudioCapture capture({u"sh"_s, u"-c"_s, u"printf '%s\\n' \"$@\" > "_s + out, u"sh"_s,
                                 u"{RATE}"_s, u"rate={RATE}k"_s});
    ChunkRecorder recorder;
    record(capture, recorder, [&] { return readFile(out).count('\n') == 2; });
    EXPECT_EQ(readFile(out), "16000\nrate=16000k\n");
}

TEST(ProcessAudioCapture, LevelFollowsTheLatestChunk) {
    struct Row {
        const char* name;
        std::vector<std::int16_t> samples;
        float level;
        float tolerance;
    };
    std::vector<std::int16_t> square(1600);
    for (std::size_t i = 0; i < square.size(); ++i) {
        square[i] = (i / 20) % 2 ? std::int16_t(-32768) : std::int16_t(32767);
    }
    std::vector<std::int16_t> tone(1600);
    for (std::size_t i = 0; i < tone.size(); ++i) {
        tone[i] = std::int16_t(std::lround(0.05 * 32768 * std::sin(2 * M_PI * 400 * i / 16000.0)));
    }
    const std::vector<Row> rows = {
        {"full-scale square", square, 1.0f, 0.0f},
        {"silence", std::vector<std::int16_t>(1600, 0), 0.0f, 0.0f},
        {"sine of peak 0.05", tone, 0.4243f, 0.002f},
    };
    QTemporaryDir dir;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const QString file = dir.filePath(u"audio.raw"_s);
        writeFile(file, pcm(row.samples));
        // The recorder then stays alive, so the level is read before stop resets it.
        ProcessAudioCapture capture({u"sh"_s, u"-c"_s, u"cat \"$0\"; exec sleep 60"_s, file});
        ChunkRecorder recorder;
        capture.onChunk = recorder.handler();
        capture.start(16000, false);
        ASSERT_TRUE(waitUntil([&] { return recorder.sampleCount() == row.samples.size(); }));
        EXPECT_NEAR(capture.currentLevel(), row.level, row.tolerance);
        EXPECT_EQ(capture.lastCaptureStatus(), AudioCaptureStatus::unknown);
        capture.stop();
        EXPECT_EQ(capture.currentLevel(), 0.0f);
    }
}

// A recorder whose writes split samples across reads must not shift every later sample by a byte.
TEST(ProcessAudioCapture, SamplesSplitAcrossOddSizedWritesArriveIntact) {
    std::vector<std::int16_t> ramp(4001);
    for (std::size_t i = 0; i < ramp.size(); ++i) {
        ramp[i] = std::int16_t(int(i * 16) - 32000);
    }
    QTemporaryDir dir;
    const QString file = dir.filePath(u"ramp.raw"_s);
    writeFile(file, pcm(ramp));
    // 3, 5, 1, 7, … bytes at a time, each flushed and followed by a pause so reads see them apart.
    const QString script = uR"(import sys, time
data = open(sys.argv[1], 'rb').read()
sizes = [3, 5, 1, 7, 2, 9, 1, 1]
at = 0
i = 0
while at < len(data):
    piece = data[at:at + sizes[i % len(sizes)]]
    sys.stdout.buffer.write(piece)
    sys.stdout.buffer.flush()
    at += len(piece)
    i += 1
    if i % 50 == 0:
        time.sleep(0.002)
time.sleep(60)
)"_s;
    ProcessAudioCapture capture({u"/usr/bin/python3"_s, u"-c"_s, script, file});
    ChunkRecorder recorder;
    const auto chunks = record(capture, recorder, [&] {
        return recorder.sampleCount() >= ramp.size();
    });
    ASSERT_GT(chunks.size(), 1u);
    const auto samples = recorder.samples();
    ASSERT_EQ(samples.size(), ramp.size());
    for (std::size_t i = 0; i < ramp.size(); ++i) {
        ASSERT_EQ(samples[i], float(ramp[i]) / 32768.0f) << "sample " << i;
    }
    for (const AudioChunk& chunk : chunks) {
        EXPECT_EQ(chunk.sampleRate, 16000);
    }
}

TEST(ProcessAudioCapture, StartFailsWithTheSettingsHint) {
    struct Row {
        QStringList command;
        QString description;
    };
    const std::vector<Row> rows = {
        {{}, u"No audio input device is available."_s},
        {{u"quovant-no-such-recorder"_s, u"{RATE}"_s},
         u"The speech model is unavailable: could not start recorder 'quovant-no-such-recorder'. "
         u"Install it, or set captureCommand in config.json."_s},
        {{u"/nonexistent/rec-{RATE}"_s},
         u"The speech model is unavailable: could not start recorder '/nonexistent/rec-16000'. "
         u"Install it, or set captureCommand in config.json."_s},
    };
    for (const Row& row : rows) {
        ProcessAudioCapture capture(row.command);
        try {
            capture.start(16000, false);
            ADD_FAILURE() << "started " << row.command.join(u' ').toStdString();
        } catch (const QuovantError& error) {
            EXPECT_EQ(error.description(), row.description);
        }
        capture.stop();
    }
}

TEST(ProcessAudioCapture, RetainedCopyIsWrittenOnlyWhenAskedAndAlwaysEmptied) {
    QTemporaryDir dir;
    const QString file = dir.filePath(u"audio.raw"_s);
    writeFile(file, pcm(std::vector<std::int16_t>(1600, 1000)));
    for (const bool retain : {false, true}) {
        SCOPED_TRACE(retain);
        ProcessAudioCapture capture({u"cat"_s, file});
        ChunkRecorder recorder;
        record(capture, recorder, [&] { return recorder.sampleCount() == 1600; }, retain);
        const QString first = dir.filePath(u"first.wav"_s);
        const QString second = dir.filePath(u"second.wav"_s);
        capture.writeRetainedAudio(first);
        capture.writeRetainedAudio(second);
        EXPECT_EQ(QFile::exists(first), retain);
        EXPECT_FALSE(QFile::exists(second)); // emptied by the first write
        if (retain) {
            const auto decoded = WavDecoder::decode(readFile(first));
            EXPECT_EQ(decoded.samples.size(), 1600u);
            EXPECT_EQ(decoded.sampleRate, 16000);
            EXPECT_EQ(permissions(first), 0600);
            QFile::remove(first);
        }
    }
}

// A recorder started through a shell is stopped with everything it started.
TEST(ProcessAudioCapture, StopEndsTheRecorderAndItsChildren) {
    QTemporaryDir dir;
    const QString pids = dir.filePath(u"pids"_s);
    ProcessAudioCapture capture({u"sh"_s, u"-c"_s,
                                 u"sleep 120 & echo $$ $! > \"$0\"; wait"_s, pids});
    ChunkRecorder recorder;
    record(capture, recorder, [&] { return readFile(pids).count(' ') == 1; });
    const QList<QByteArray> numbers = readFile(pids).trimmed().split(' ');
    ASSERT_EQ(numbers.size(), 2);
    for (const QByteArray& number : numbers) {
        const pid_t pid = number.toInt();
        ASSERT_GT(pid, 0);
        // The shell is reaped by stop; its child, re-parented, goes as soon as it is signalled.
        EXPECT_TRUE(waitUntil([&] {
            const QByteArray stat = readFile(u"/proc/"_s + QString::number(pid) + u"/stat"_s);
            return stat.isEmpty() || stat.contains(") Z ");
        }));
    }
}

TEST(AudioCaptureFactory, RecorderWhenTheSettingIsPresentMicrophoneOtherwise) {
    Config config;
    EXPECT_NE(dynamic_cast<LinuxAudioCapture*>(makeAudioCapture(config).get()), nullptr);
    config.voiceProcessingEnabled = false;
    auto microphone = makeAudioCapture(config);
    EXPECT_FALSE(dynamic_cast<LinuxAudioCapture&>(*microphone).voiceProcessingActive());
    config.captureCommand = QStringList{u"rec"_s};
    EXPECT_NE(dynamic_cast<ProcessAudioCapture*>(makeAudioCapture(config).get()), nullptr);
    config.captureCommand = QStringList{};
    auto empty = makeAudioCapture(config);
    ASSERT_NE(dynamic_cast<ProcessAudioCapture*>(empty.get()), nullptr);
    EXPECT_THROW(empty->start(16000, false), QuovantError);
}

} // namespace
