#include "platform/linux/desktop/launch_at_login.h"
#include "settings/log.h"
#include "settings/paths.h"
#include "support/test_support.h"
#include "support/wait.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>


using namespace Qt::StringLiterals;
namespace LaunchAtLogin = quovant::LaunchAtLogin;
using quovant::testing::ScopedEnvironment;

namespace {

QString logText() {
    quovant::Log::flush();
    return QString::fromUtf8(
        quovant::testing::readFile(quovant::Paths::root() + u"/quovant.log"_s));
}

int failureLines() {
    return logText().count(u"[ERROR] Could not change launch-at-login: "_s);
}

} // namespace

TEST(LaunchAtLogin, EntryIsWrittenOnceAndRemovedOnce) {
    QTemporaryDir config;
    ScopedEnvironment xdg("XDG_CONFIG_HOME", config.path());
    const QString entry = config.path() + u"/autostart/quovant.desktop"_s;
    EXPECT_EQ(LaunchAtLogin::entryPath(), entry);
    const int failuresBefore = failureLines();

    // Disabling when nothing is registered does nothing.
    LaunchAtLogin::set(false);
    EXPECT_FALSE(QFileInfo::exists(entry));
    EXPECT_FALSE(LaunchAtLogin::isEnabled());

    LaunchAtLogin::set(true);
    ASSERT_TRUE(LaunchAtLogin::isEnabled());
    const QString text = QString::fromUtf8(quovant::testing::readFile(entry));
    EXPECT_EQ(text, LaunchAtLogin::entryText(QCoreApplication::applicationFilePath()));
    EXPECT_TRUE(text.startsWith(u"[Desktop Entry]\nType=Application\nName=Quovant\n"_s));
    EXPECT_TRUE(text.contains(u"\nExec="_s + QCoreApplication::applicationFilePath() + u'\n'));

    // Enabling again leaves the entry alone.
    QFile file(entry);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    const QDateTime old = QDateTime::currentDateTimeUtc().addDays(-3);
    ASSERT_TRUE(file.setFileTime(old, QFileDevice::FileModificationTime));
    file.close();
    LaunchAtLogin::set(true);
    EXPECT_EQ(QFileInfo(entry).lastModified().toUTC().toSecsSinceEpoch(), old.toSecsSinceEpoch());

    // An entry from an older location of the program is brought up to date.
    quovant::testing::writeFile(entry, "[Desktop Entry]\nExec=/old/place/quovant\n");
    LaunchAtLogin::set(true);
    EXPECT_EQ(QString::fromUtf8(quovant::testing::readFile(entry)), text);

    LaunchAtLogin::set(false);
    EXPECT_FALSE(QFileInfo::exists(entry));
    LaunchAtLogin::set(false);
    EXPECT_EQ(failureLines(), failuresBefore);
}

TEST(LaunchAtLogin, FailuresAreLoggedNotThrown) {
    QTemporaryDir dir;
    const int before = failureLines();

    // The configuration folder is a regular file, so the autostart folder cannot be made.
    quovant::testing::writeFile(dir.filePath(u"blocked"_s), "x");
    {
        ScopedEnvironment xdg("XDG_CONFIG_HOME", dir.filePath(u"blocked"_s));
        LaunchAtLogin::set(true);
        EXPECT_FALSE(LaunchAtLogin::isEnabled());
    }
    EXPECT_EQ(failureLines(), before + 1);
    EXPECT_TRUE(logText().contains(u"[ERROR] Could not change launch-at-login: could not create "_s +
                                   dir.filePath(u"blocked/autostart"_s)));

    // A folder where the entry belongs can be neither replaced nor removed as a file.
    {
        ScopedEnvironment xdg("XDG_CONFIG_HOME", dir.filePath(u"config"_s));
        QDir().mkpath(dir.filePath(u"config/autostart/quovant.desktop/inside"_s));
        LaunchAtLogin::set(true);
        EXPECT_EQ(failureLines(), before + 2);
        EXPECT_TRUE(logText().contains(u"[ERROR] Could not change launch-at-login: "_s +
                                       dir.filePath(u"config/autostart/quovant.desktop"_s) +
                                       u" is not a regular file"_s));
        LaunchAtLogin::set(false);
        EXPECT_EQ(failureLines(), before + 3);
        EXPECT_TRUE(QFileInfo(dir.filePath(u"config/autostart/quovant.desktop"_s)).isDir());
    }
}

TEST(LaunchAtLogin, RelativeConfigHomeIsIgnored) {
    QTemporaryDir home;
    ScopedEnvironment homeVariable("HOME", home.path());
    ScopedEnvironment xdg("XDG_CONFIG_HOME", u"relative/config"_s);
    EXPECT_EQ(LaunchAtLogin::entryPath(), home.path() + u"/.config/autostart/quovant.desktop"_s);
}

TEST(LaunchAtLogin, ExecLineQuotesAwkwardPaths) {
    struct Case {
        QString path;
        QString exec;
    };
    const Case cases[] = {
        {u"/usr/bin/quovant"_s, u"Exec=/usr/bin/quovant\n"_s},
        {u"/opt/My Apps/quovant"_s, u"Exec=\"/opt/My Apps/quovant\"\n"_s},
        {u"/opt/a$b/quovant"_s, u"Exec=\"/opt/a\\\\$b/quovant\"\n"_s},
        {u"/opt/100%/quovant"_s, u"Exec=/opt/100%%/quovant\n"_s},
        {u"/opt/back\\slash/quovant"_s, u"Exec=\"/opt/back\\\\\\\\slash/quovant\"\n"_s},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(LaunchAtLogin::entryText(c.path).contains(c.exec))
            << c.path.toStdString() << " → " << LaunchAtLogin::entryText(c.path).toStdString();
    }
}
