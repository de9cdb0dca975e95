// The private sound server that the desktop suites share: samples written into a pipe source come
// out of it exactly, and the environment comes back.

#include "support/pulse_server.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using namespace quovant::testing;

namespace {

TEST(PulseServer, PipeSourceDeliversTheWrittenSamplesExactly) {
    const QByteArray before = qgetenv("PULSE_SERVER");
    {
        PulseServer server;
        ASSERT_TRUE(server.running()) << server.failure().toStdString();
        EXPECT_EQ(qgetenv("PULSE_SERVER"), server.address().toUtf8());
        const auto pipe = server.loadPipeSource(QStringLiteral("mic"), 16000);
        ASSERT_TRUE(pipe.has_value());
        ASSERT_TRUE(server.setDefaultSource(pipe->source));
        ASSERT_TRUE(server.loadSineSource(QStringLiteral("tone"), 16000, 440).has_value());
        ASSERT_TRUE(server.loadNullSink(QStringLiteral("quiet")).has_value());
        const QString sources = server.pactl({QStringLiteral("list"), QStringLiteral("short"),
                                              QStringLiteral("sources")})
                                    .value_or(QString());
        EXPECT_TRUE(sources.contains(QStringLiteral("tone")) &&
                    sources.contains(QStringLiteral("quiet.monitor")))
            << sources.toStdString();

        QProcess recorder;
        recorder.start(QStringLiteral("parec"),
                       {QStringLiteral("--format=float32le"), QStringLiteral("--rate=16000"),
                        QStringLiteral("--channels=1"), QStringLiteral("--latency-msec=20")});
        ASSERT_TRUE(recorder.waitForStarted(10000));
        // A ramp that no resampling or dropped sample could reproduce by accident.
        std::vector<float> ramp(8000);
        for (std::size_t i = 0; i < ramp.size(); ++i) {
            ramp[i] = static_cast<float>(i + 1) / 16384.0f;
        }
        PipeSourceWriter writer(pipe->fifo);
        ASSERT_TRUE(writer.isOpen());
        // The recorder's stream must exist before the samples flow.
        QThread::msleep(300);
        writer.play(ramp, 16000);
        ASSERT_TRUE(writer.waitUntilPlayed(30000));
        QByteArray bytes;
        QDeadlineTimer deadline(30000);
        while (bytes.size() < qsizetype(ramp.size() * sizeof(float)) && !deadline.hasExpired()) {
            recorder.waitForReadyRead(200);
            bytes += recorder.readAllStandardOutput();
        }
        recorder.kill();
        recorder.waitForFinished(5000);
        std::vector<float> heard(static_cast<std::size_t>(bytes.size()) / sizeof(float));
        std::memcpy(heard.data(), bytes.constData(), heard.size() * sizeof(float));
        const auto first = std::find(heard.begin(), heard.end(), ramp.front());
        ASSERT_NE(first, heard.end());
        ASSERT_GE(heard.end() - first, std::ptrdiff_t(ramp.size()));
        EXPECT_TRUE(std::equal(ramp.begin(), ramp.end(), first));
    }
    EXPECT_EQ(qgetenv("PULSE_SERVER"), before);
}

} // namespace
