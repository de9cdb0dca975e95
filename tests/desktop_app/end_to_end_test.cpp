// The real program on a private desktop: start-up, a second instance, control from the session
// bus, and dictations spoken into the sound server that arrive as text in another application.

#include "desktop_app/running_quovant.h"
#include "support/test_support.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QThread>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace quovant::testing;

namespace {

QStringList words(const QString& text) {
    return text.toLower().split(QRegularExpression(u"[^a-z']+"_s), Qt::SkipEmptyParts);
}

// The log's messages in order, without their times.
QStringList messages(const QString& log) {
    QStringList result;
    for (const QString& line : log.split(u'\n', Qt::SkipEmptyParts)) {
        result.append(line.section(u' ', 1));
    }
    return result;
}

QStringList historyShipped(const QString& home) {
    QStringList shipped;
    const QByteArray history = readFile(QDir(home).filePath(u"history.jsonl"_s));
    for (const QByteArray& line : history.split('\n')) {
        if (!line.isEmpty()) {
            shipped.append(QJsonDocument::fromJson(line).object().value(u"shipped"_s).toString());
        }
    }
    return shipped;
}

TEST(EndToEnd, StartsInOrderOnceAndAnswersOnTheBus) {
    RunningQuovant quovant(R"({"playSounds": false})");
    ASSERT_TRUE(quovant.start(u"] Permissions · "_s)) << quovant.failure().toStdString();

    const QStringList log = messages(quovant.logText());
    const QStringList inOrder = {
        u"[INFO] Quovant launched. Initialising…"_s,
        u"[INFO] Preparing models…"_s,
        u"[INFO] Permissions · microphone: granted · keys and typing: granted · accessibility "
        u"bus: "_s,
    };
    qsizetype at = 0;
    for (const QString& expected : inOrder) {
        const auto found = std::find_if(log.begin() + at, log.end(), [&](const QString& line) {
            return line.startsWith(expected);
        });
        ASSERT_NE(found, log.end()) << expected.toStdString() << "\n"
                                    << log.join(u'\n').toStdString();
        at = found - log.begin();
    }

    const ProgramResult second = quovant.control({});
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_TRUE(second.err.endsWith(u"Quovant is already running. Use its tray icon, or "
                                    u"`quovant toggle` to dictate hands-free.\n"_s))
        << second.err.toStdString();

    const ProgramResult state = quovant.control({u"state"_s});
    EXPECT_EQ(state.exitCode, 0);
    EXPECT_EQ(state.out.toStdString(), "idle\n");

    // Cancelling a hands-free recording leaves nothing behind.
    EXPECT_EQ(quovant.control({u"toggle"_s, u"prompt"_s}).exitCode, 0);
    ASSERT_TRUE(quovant.waitForLog(u"Prompt Mode recording started."_s, 60000))
        << quovant.logText().toStdString();
    EXPECT_EQ(quovant.control({u"state"_s}).out.toStdString(), "recording prompt\n");
    // Another mode cannot start while one records.
    EXPECT_EQ(quovant.control({u"toggle"_s, u"dictation"_s}).exitCode, 1);
    EXPECT_EQ(quovant.control({u"cancel"_s}).exitCode, 0);
    EXPECT_EQ(quovant.control({u"state"_s}).out.toStdString(), "idle\n");

    EXPECT_EQ(quovant.stop(), 0);
}

TEST(EndToEnd, TheTrayIconAppearsWhenThePanelComesLaterWithTheWholeMenu) {
    RunningQuovant quovant(R"({"playSounds": false})");
    ASSERT_TRUE(quovant.start(u"] Permissions · "_s)) << quovant.failure().toStdString();
    EXPECT_TRUE(quovant.logText().contains(
        u"[INFO] Waiting for the desktop's tray to show the status icon."_s));

    // The panel starts after the application, as it may at login.
    LineProcess watcher;
    ASSERT_TRUE(watcher.start(u"/usr/bin/python3"_s,
                              {QStringLiteral(QUOVANT_DESKTOP_TEST_PROGRAMS) +
                               u"/status_notifier_watcher.py"_s}));
    ASSERT_TRUE(watcher.waitForLine([](const QString& l) { return l == u"READY"_s; }, 30000))
        << watcher.errorOutput().toStdString();
    const auto item =
        watcher.waitForLine([](const QString& l) { return l.startsWith(u"ITEM "_s); }, 60000);
    ASSERT_TRUE(item) << quovant.logText().toStdString();

    // The menu the panel shows, read over DBusMenu.
    const ProgramResult layout = runProgram(
        u"gdbus"_s,
        {u"call"_s, u"--session"_s, u"--dest"_s, item->section(u' ', 1, 1), u"--object-path"_s,
         u"/MenuBar"_s, u"--method"_s, u"com.canonical.dbusmenu.GetLayout"_s, u"--"_s, u"0"_s,
         u"-1"_s, u"@as []"_s},
        30000);
    ASSERT_EQ(layout.exitCode, 0) << layout.err.toStdString();
    for (const QString& label :
         {u"Hold Right Alt to dictate"_s, u"Response: no samples yet"_s, u"Push-to-talk key"_s,
          u"Right Super"_s, u"Keep local text history"_s, u"Quit Quovant"_s}) {
        EXPECT_TRUE(layout.out.contains(u"'"_s + label + u"'"_s)) << label.toStdString();
    }
    EXPECT_EQ(quovant.stop(), 0);
}

} // namespace
