#include "settings/paths.h"
#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace quovant {
namespace {

using testing::permissions;
using testing::ScopedUmask;
using testing::readFile;
using testing::writeFile;

void setMode(const QString& path, mode_t mode) {
    ::chmod(QFile::encodeName(path).constData(), mode);
}

TEST(PathsTest, RootLocationFollowsTheEnvironment) {
    struct Case {
        QString quovantHome, xdgDataHome, home, expected;
    };
    const Case cases[] = {
        {u"/srv/portable/data/"_s, u"/xdg"_s, u"/home/ana"_s, u"/srv/portable/data"_s},
        {u""_s, u"/xdg/share"_s, u"/home/ana"_s, u"/xdg/share/Quovant"_s},
        {u""_s, u""_s, u"/home/ana"_s, u"/home/ana/.local/share/Quovant"_s},
        // Relative XDG values are invalid by definition and ignored.
        {u""_s, u"relative/share"_s, u"/home/ana"_s, u"/home/ana/.local/share/Quovant"_s},
        {u""_s, u"/xdg//share/"_s, u"/home/ana"_s, u"/xdg/share/Quovant"_s},
    };
    for (const Case& testCase : cases) {
        EXPECT_EQ(Paths::locateRoot(testCase.quovantHome, testCase.xdgDataHome, testCase.home),
                  testCase.expected);
    }
    EXPECT_TRUE(QDir::isAbsolutePath(Paths::locateRoot(u"relative"_s, u""_s, u"/h"_s)));
}

TEST(PathsTest, RootIsTheOverrideAndIsPrivate) {
    EXPECT_EQ(Paths::root(), QDir::cleanPath(qEnvironmentVariable("QUOVANT_HOME")));
    EXPECT_EQ(Paths::root(), Paths::root());
    EXPECT_EQ(permissions(Paths::root()), 0700);
}

TEST(PathsTest, PreparingCreatesTheRootAndTightensWhatItKeeps) {
    ScopedUmask open(0);
    QTemporaryDir parent;
    const QString root = parent.filePath(u"a/b/Quovant"_s);
    Paths::prepareRoot(root);
    EXPECT_EQ(permissions(root), 0700);

    setMode(root, 0777);
    for (const char* name : {"config.json", "history.jsonl", "vocabulary.txt", "quovant.log",
                             "palvane.log", "notes.txt", "quovant.log.1"}) {
        writeFile(root + u'/' + QString::fromUtf8(name), "x");
        setMode(root + u'/' + QString::fromUtf8(name), 0666);
    }
    QDir().mkpath(root + u"/audio/nested"_s);
    setMode(root + u"/audio"_s, 0777);
    setMode(root + u"/audio/nested"_s, 0755);
    writeFile(root + u"/audio/one.wav"_s, "RIFF");
    setMode(root + u"/audio/one.wav"_s, 0644);
    const QString outside = parent.filePath(u"outside.txt"_s);
    writeFile(outside, "elsewhere");
    setMode(outside, 0644);
    QFile::link(outside, root + u"/audio/link.wav"_s);

    Paths::prepareRoot(root);
    EXPECT_EQ(permissions(root), 0700);
    for (const char* name :
         {"config.json", "history.jsonl", "vocabulary.txt", "quovant.log", "palvane.log"}) {
        EXPECT_EQ(permissions(root + u'/' + QString::fromUtf8(name)), 0600) << name;
    }
    EXPECT_EQ(permissions(root + u"/notes.txt"_s), 0666);
    EXPECT_EQ(permissions(root + u"/quovant.log.1"_s), 0666);
    EXPECT_EQ(permissions(root + u"/audio"_s), 0700);
    EXPECT_EQ(permissions(root + u"/audio/one.wav"_s), 0600);
    EXPECT_EQ(permissions(root + u"/audio/nested"_s), 0755);
    EXPECT_EQ(permissions(outside), 0644);
}

TEST(PathsTest, CreatedParentsAreNeverWiderThanTheUmaskAllows) {
    // Each row: the umask, whether the root is inside the shared XDG data folder, and the modes
    // of the parents created for it.
    const struct {
        mode_t umask;
        bool xdg;
        int sharedMode;
    } cases[] = {
        {0, false, 0700}, {0, true, 0755}, {022, true, 0755}, {027, true, 0750}, {077, true, 0700},
    };
    for (const auto& c : cases) {
        QTemporaryDir home;
        const QString dataHome = home.filePath(u".local/share"_s);
        const QString root = c.xdg ? dataHome + u"/Quovant"_s : dataHome + u"/portable/data"_s;
        {
            ScopedUmask mask(c.umask);
            Paths::prepareRoot(root, c.xdg ? dataHome : QString());
        }
        const int parentMode = c.xdg ? c.sharedMode : 0700;
        for (const QString& parent : {home.filePath(u".local"_s), dataHome}) {
            EXPECT_EQ(permissions(parent), parentMode) << parent.toStdString() << " " << c.umask;
        }
        if (!c.xdg) {
            EXPECT_EQ(permissions(dataHome + u"/portable"_s), 0700);
        }
        EXPECT_EQ(permissions(root), 0700) << c.umask;
        EXPECT_EQ(permissions(home.path()), 0700) << "an existing folder is left as it was";
    }
}

TEST(PathsTest, LegacyFolderMovesOnlyIntoAMissingRootNamedQuovant) {
    QTemporaryDir parent;
    const QString legacy = parent.filePath(u"Palvane"_s);
    QDir().mkpath(legacy + u"/audio"_s);
    writeFile(legacy + u"/history.jsonl"_s, "old");

    Paths::prepareRoot(parent.filePath(u"portable-data"_s));
    EXPECT_EQ(readFile(legacy + u"/history.jsonl"_s), "old");
    EXPECT_TRUE(QDir(parent.filePath(u"portable-data"_s)).isEmpty());

    Paths::prepareRoot(parent.filePath(u"Quovant"_s));
    EXPECT_FALSE(QFileInfo::exists(legacy));
    EXPECT_EQ(readFile(parent.filePath(u"Quovant/history.jsonl"_s)), "old");
    EXPECT_EQ(permissions(parent.filePath(u"Quovant/history.jsonl"_s)), 0600);
    EXPECT_EQ(permissions(parent.filePath(u"Quovant/audio"_s)), 0700);

    QDir().mkpath(legacy);
    writeFile(legacy + u"/history.jsonl"_s, "older");
    Paths::prepareRoot(parent.filePath(u"Quovant"_s));
    EXPECT_EQ(readFile(legacy + u"/history.jsonl"_s), "older");
    EXPECT_EQ(readFile(parent.filePath(u"Quovant/history.jsonl"_s)), "old");
}

} // namespace
} // namespace quovant
