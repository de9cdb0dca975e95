#include "app/desktop/resources/desktop_resources.h"
#include "platform/linux/desktop/linux_notifier.h"
#include "platform/linux/desktop/sound_player.h"
#include "settings/log.h"
#include "settings/paths.h"
#include "support/desktop_peers.h"
#include "support/wait.h"
#include "support/pulse_server.h"
#include "support/test_support.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <thread>

using namespace Qt::StringLiterals;
using quovant::LinuxNotifier;
using quovant::SoundPlayer;
using quovant::testing::PeerProcess;
using quovant::testing::SessionBus;

using quovant::testing::waitUntil;

namespace {

QString logText() {
    quovant::Log::flush();
    return QString::fromUtf8(
        quovant::testing::readFile(quovant::Paths::root() + u"/quovant.log"_s));
}

struct Presented {
    QString title;
    QString body;
    bool onMainThread = false;
};

} // namespace

TEST(LinuxNotifier, WritesTheLogLineAndPresentsOnTheMainThread) {
    LinuxNotifier notifier(QDBusConnection(u"not-connected"_s));
    // Before the shell installs its presenter only the log line is written.
    notifier.notify(u"Early"_s, u"nobody shows this"_s);
    QCoreApplication::processEvents();

    std::vector<Presented> presented;
    notifier.present = [&](const QString& title, const QString& body) {
        presented.push_back({title, body, QThread::currentThread() == qApp->thread()});
    };
    std::thread worker([&] { notifier.notify(u"Couldn’t paste"_s, u"The text is on your clipboard."_s); });
    worker.join();
    notifier.notify(u"Second"_s, QString());
    ASSERT_TRUE(waitUntil([&] { return presented.size() == 2; }));
    EXPECT_EQ(presented[0].title, u"Couldn’t paste"_s);
    EXPECT_EQ(presented[0].body, u"The text is on your clipboard."_s);
    EXPECT_TRUE(presented[0].onMainThread);
    EXPECT_EQ(presented[1].title, u"Second"_s);
    EXPECT_TRUE(presented[1].body.isEmpty());

    const QString log = logText();
    EXPECT_TRUE(log.contains(u"[WARN] [Early] nobody shows this\n"_s));
    EXPECT_TRUE(log.contains(u"[WARN] [Couldn’t paste] The text is on your clipboard.\n"_s));
    EXPECT_TRUE(log.contains(u"[WARN] [Second] \n"_s));
}

TEST(LinuxNotifier, MessagesQueuedWhenTheNotifierGoesAreDropped) {
    int presented = 0;
    {
        LinuxNotifier notifier(QDBusConnection(u"not-connected"_s));
        notifier.present = [&](const QString&, const QString&) { ++presented; };
        notifier.notify(u"Gone"_s, u"before delivery"_s);
    }
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(presented, 0);
}

TEST(LinuxNotifier, SendsADesktopNotificationToTheDaemon) {
    SessionBus bus;
    ASSERT_TRUE(bus.running());
    QTemporaryDir dir;
    const QString callLog = dir.filePath(u"calls.log"_s);
    PeerProcess daemon(u"/usr/bin/python3"_s,
                       {u"-m"_s, u"dbusmock"_s, u"--template"_s, u"notification_daemon"_s,
                        u"-l"_s, callLog});
    ASSERT_TRUE(daemon.started());
    QDBusConnection connection =
        QDBusConnection::connectToBus(bus.address(), u"notifier-daemon@"_s + bus.address());
    ASSERT_TRUE(connection.isConnected());
    ASSERT_TRUE(waitUntil([&] {
        return connection.interface()->isServiceRegistered(u"org.freedesktop.Notifications"_s)
            .value();
    })) << daemon.errorOutput().toStdString();

    LinuxNotifier notifier(connection);
    std::vector<QString> shown;
    notifier.present = [&](const QString& title, const QString&) { shown.push_back(title); };
    std::vector<uint> ids;
    notifier.onDesktopNotificationAnswered = [&](uint id) { ids.push_back(id); };
    notifier.notify(u"Codex CLI not found"_s,
                    u"Install and sign in to Codex, then choose it again."_s);
    ASSERT_TRUE(waitUntil([&] { return ids.size() == 1; }));
    EXPECT_GT(ids[0], 0u);
    EXPECT_EQ(shown, std::vector<QString>{u"Codex CLI not found"_s});

    ASSERT_TRUE(waitUntil([&] {
        return QString::fromUtf8(quovant::testing::readFile(callLog)).contains(u"Notify"_s);
    }));
    const QString calls = QString::fromUtf8(quovant::testing::readFile(callLog));
    EXPECT_TRUE(calls.contains(u"\"Quovant\""_s) || calls.contains(u"'Quovant'"_s)) << calls.toStdString();
    EXPECT_TRUE(calls.contains(u"Codex CLI not found"_s)) << calls.toStdString();
    EXPECT_TRUE(calls.contains(u"Install and sign in to Codex, then choose it again."_s));
}

TEST(LinuxNotifier, WithoutADaemonTheOverlayAndLogStillGetTheMessage) {
    SessionBus bus;
    ASSERT_TRUE(bus.running());
    LinuxNotifier notifier(
        QDBusConnection::connectToBus(bus.address(), u"notifier-no-daemon@"_s + bus.address()));
    int shown = 0;
    notifier.present = [&](const QString&, const QString&) { ++shown; };
    std::vector<uint> ids;
    notifier.onDesktopNotificationAnswered = [&](uint id) { ids.push_back(id); };
    notifier.notify(u"Not a Git repository"_s,
                    u"Choose a folder containing a .git directory or worktree marker."_s);
    ASSERT_TRUE(waitUntil([&] { return ids.size() == 1; }));
    EXPECT_EQ(ids[0], 0u);
    EXPECT_EQ(shown, 1);
    EXPECT_TRUE(logText().contains(u"[WARN] [Not a Git repository] Choose a folder containing a "
                                   ".git directory or worktree marker.\n"_s));
}

TEST(SoundPlayer, DecodesOnlySixteenBitPcmWav) {
    const QByteArray start = quovant::DesktopResources::sound(quovant::DesktopResources::Sound::recordStart);
    const QByteArray error = quovant::DesktopResources::sound(quovant::DesktopResources::Sound::error);
    for (const QByteArray& wav : {start, error}) {
        const auto pcm = SoundPlayer::decodeWav(wav);
        ASSERT_TRUE(pcm.has_value());
        EXPECT_EQ(pcm->sampleRate, 44100u);
        EXPECT_EQ(pcm->channels, 1);
        // Short event sounds: between 50 ms and half a second.
        const double seconds = pcm->samples.size() / 2.0 / 44100;
        EXPECT_GT(seconds, 0.05);
        EXPECT_LT(seconds, 0.5);
    }
    QByteArray floatWav = start;
    floatWav[20] = 3; // IEEE float encoding
    QByteArray truncated = start.left(40);
    QByteArray wrongSize = start;
    wrongSize[40] = char(0xFF); // data size larger than the file: cut to what is there
    wrongSize[41] = char(0xFF);
    EXPECT_FALSE(SoundPlayer::decodeWav(floatWav));
    EXPECT_FALSE(SoundPlayer::decodeWav(truncated));
    EXPECT_FALSE(SoundPlayer::decodeWav(QByteArray("RIFF....WAVEfmt ")));
    EXPECT_FALSE(SoundPlayer::decodeWav(QByteArray()));
    const auto cut = SoundPlayer::decodeWav(wrongSize);
    ASSERT_TRUE(cut.has_value());
    EXPECT_EQ(cut->samples.size(), start.size() - 44);
}

TEST(SoundPlayer, PlaysThroughTheSoundServerAndIsSilentWhenOff) {
    quovant::testing::PulseServer server;
    ASSERT_TRUE(server.running()) << server.failure().toStdString();
    ASSERT_TRUE(server.loadNullSink(u"speakers"_s).has_value());
    ASSERT_TRUE(server.pactl({u"set-default-sink"_s, u"speakers"_s}).has_value());

    SoundPlayer player;
    const QByteArray start = quovant::DesktopResources::sound(quovant::DesktopResources::Sound::recordStart);
    ASSERT_TRUE(player.play(start));
    ASSERT_TRUE(player.waitUntilIdle(20000));
    EXPECT_EQ(player.playedCount(), 1);
    EXPECT_EQ(player.failedCount(), 0);

    player.setEnabled(false);
    EXPECT_FALSE(player.play(start));
    EXPECT_TRUE(player.waitUntilIdle(20000));
    EXPECT_EQ(player.playedCount(), 1);
    EXPECT_FALSE(player.play(QByteArray("not a wav")));
}
