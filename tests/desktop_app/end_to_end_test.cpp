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

} // namespace
