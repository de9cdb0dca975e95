#include "core/unicode_text.h"
#include "settings/log.h"
#include "settings/paths.h"
#include "settings/rotating_log_writer.h"
#include "support/test_support.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace Qt::StringLiterals;

namespace quovant {
namespace {

using testing::permissions;
using testing::ScopedUmask;
using testing::readFile;
using testing::writeFile;

// The flattening must behave exactly like replacing \s*\R+\s* by a blank.
TEST(LogTest, FlatteningMatchesTheLineBreakPattern) {
    const unicode::Regex reference(u"\\s*\\R+\\s*"_s);
    const char16_t alphabet[] = {u' ', u'\n', u'\r', u'\t', u'x', 0x2028, 0x85, 0x0b, 0xa0, u'\f'};
    std::mt19937 random(7);
    for (int i = 0; i < 20000; ++i) {
        QString text;
        for (int n = random() % 10; n > 0; --n) {
            text += QChar(alphabet[random() % std::size(alphabet)]);
        }
        ASSERT_EQ(Log::flatten(text), reference.replaceAll(text, u" "_s)) << i;
    }
}

TEST(LogTest, MessagesAreCutToWholeCharacters) {
    EXPECT_EQ(Log::flatten(QString(10000, u'a')), QString(4096, u'a'));
    EXPECT_EQ(Log::flatten(QString(4096, u'a')), QString(4096, u'a'));

    // An accented letter made of two code units is kept whole at the cut.
    const QString accented = QString(4095, u'a') + u"e\u0301tail"_s;
    EXPECT_EQ(Log::flatten(accented), QString(4095, u'a') + u"e\u0301"_s);
    // So is a character outside the Basic Multilingual Plane.
    const QString emoji = QString(4095, u'a') + u"\U0001F600\U0001F600"_s;
    EXPECT_EQ(Log::flatten(emoji), QString(4095, u'a') + u"\U0001F600"_s);

    // Flattening comes first, so blank runs do not eat into the allowance.
    const QString spread = QString(5000, u'\n') + QString(4100, u'b');
    EXPECT_EQ(Log::flatten(spread), u" "_s + QString(4095, u'b'));
}

TEST(LogTest, LineCarriesTimeLevelAndMessage) {
    EXPECT_EQ(Log::formatLine(QTime(9, 5, 3, 7), u"WARN"_s, u"two\n\nwords"_s),
              "09:05:03.007 [WARN] two words\n");
    EXPECT_EQ(Log::formatLine(QTime(23, 59, 59, 999), u"INFO"_s, u"café ✓"_s),
              "23:59:59.999 [INFO] caf\xc3\xa9 \xe2\x9c\x93\n");
    const QByteArray long_ = Log::formatLine(QTime(0, 0), u"ERROR"_s, QString(10000, u'x'));
    EXPECT_EQ(long_.size(), qsizetype(std::strlen("00:00:00.000 [ERROR] ")) + 4096 + 1);
}

TEST(LogTest, LinesReachTheFileInOrderFromEveryThread) {
    constexpr int kThreads = 4;
    constexpr int kLines = 500;
    const QString tag = u"order-%1"_s.arg(QDateTime::currentMSecsSinceEpoch());
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) {
                Log::info(u"%1 %2 %3\nsecond half"_s.arg(tag).arg(t).arg(i));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    Log::flush();

    const QString log = QString::fromUtf8(readFile(Paths::root() + u"/quovant.log"_s));
    const unicode::Regex line(u"^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\[INFO\\] "_s + tag +
                              u" (\\d) (\\d+) second half$"_s);
    std::vector<int> next(kThreads, 0);
    int seen = 0;
    for (const QString& text : log.split(u'\n')) {
        if (!text.contains(tag)) {
            continue;
        }
        const auto match = line.firstMatch(text);
        ASSERT_TRUE(match.has_value()) << text.toStdString();
        const int thread = match->groups[1].toInt();
        EXPECT_EQ(match->groups[2].toInt(), next[thread]++);
        ++seen;
    }
    EXPECT_EQ(seen, kThreads * kLines);
    EXPECT_EQ(permissions(Paths::root() + u"/quovant.log"_s), 0600);
}

QString backup(const QString& path, int number) {
    return path + u'.' + QString::number(number);
}

TEST(RotatingLogWriterTest, FullFileMovesToTheFirstBackup) {
    ScopedUmask open(0);
    QTemporaryDir dir;
    const QString path = dir.filePath(u"logs/quovant.log"_s);
    RotatingLogWriter writer(path, 2 * 1024 * 1024, 2);
    EXPECT_EQ(permissions(dir.filePath(u"logs"_s)), 0700);

    const QByteArray full(2097100, 'f');
    writeFile(path, full);
    writeFile(backup(path, 1), "previous first");
    writeFile(backup(path, 2), "previous second");
    const QByteArray line = QByteArray(99, 'n') + '\n';

    writer.append(line);
    EXPECT_EQ(readFile(path), line);
    EXPECT_EQ(readFile(backup(path, 1)), full);
    EXPECT_EQ(readFile(backup(path, 2)), "previous first");
    EXPECT_FALSE(QFileInfo::exists(backup(path, 3)));
    for (const QString& file : {path, backup(path, 1), backup(path, 2)}) {
        EXPECT_EQ(permissions(file), 0600) << file.toStdString();
    }
}

// Each row: limits, the file before, the pieces appended, and the file and backups after.
TEST(RotatingLogWriterTest, RotationFollowsTheLimits) {
    struct Case {
        qint64 maxBytes, backups;
        std::optional<QByteArray> initial;
        QList<QByteArray> pieces;
        QList<QByteArray> after; // the file, then backup 1, 2, ...
    };
    const Case cases[] = {
        {10, 2, std::nullopt, {"12345", "67890"}, {"1234567890", ""}}, // exactly full
        {10, 2, std::nullopt, {"12345", "67890", "a"}, {"a", "1234567890", ""}},
        {8, 1, std::nullopt, {"0123456789abcdef"}, {"01234567", ""}},   // cut, missing file
        {8, 1, QByteArray(""), {"ABCDEFGHIJ", "z"}, {"z", "ABCDEFGH"}}, // empty file
        {8, 2, QByteArray("old"), {"123456", "xy", "z"}, {"z", "123456xy", "old"}},
        {0, -3, std::nullopt, {"ab", "cd"}, {"c", ""}}, // clamped to 1 byte, no backups
    };
    for (const Case& row : cases) {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"x.log"_s);
        if (row.initial) {
            writeFile(path, *row.initial);
        }
        RotatingLogWriter writer(path, row.maxBytes, row.backups);
        EXPECT_EQ(writer.maxBytes(), std::max<qint64>(row.maxBytes, 1));
        for (const QByteArray& piece : row.pieces) {
            writer.append(piece);
        }
        for (qsizetype i = 0; i < row.after.size(); ++i) {
            const QString file = i == 0 ? path : backup(path, int(i));
            EXPECT_EQ(readFile(file), row.after[i]) << row.pieces.join('|').constData() << " " << i;
        }
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(),
                  std::count_if(row.after.begin(), row.after.end(),
                                [](const QByteArray& b) { return !b.isEmpty(); }));
    }
}

// Appending a batch leaves the same files as appending its lines one by one.
TEST(RotatingLogWriterTest, BatchAppendMatchesSingleAppends) {
    std::mt19937 random(11);
    for (int round = 0; round < 50; ++round) {
        QTemporaryDir dir;
        const qint64 maxBytes = 1 + random() % 40;
        RotatingLogWriter single(dir.filePath(u"single.log"_s), maxBytes, 3);
        RotatingLogWriter batched(dir.filePath(u"batched.log"_s), maxBytes, 3);
        if (round % 2 == 1) {
            writeFile(single.path(), "existing");
            writeFile(batched.path(), "existing");
        }
        QList<QByteArray> lines;
        for (int n = random() % 30; n > 0; --n) {
            lines.append(QByteArray(static_cast<qsizetype>(random() % 50), char('a' + n % 26)));
        }
        for (const QByteArray& line : lines) {
            single.append(line);
        }
        batched.appendAll(lines);
        for (int backup = 0; backup <= 4; ++backup) {
            const QString suffix = backup == 0 ? QString() : u'.' + QString::number(backup);
            EXPECT_EQ(readFile(single.path() + suffix), readFile(batched.path() + suffix))
                << "round " << round << " backup " << backup;
        }
    }
}

TEST(RotatingLogWriterTest, LinksAndSpecialFilesAreLeftAloneAndNeverWaitedOn) {
    // A FIFO with no reader used to block the writer for good; SIGALRM fails the run instead.
    ::alarm(120);
    const auto fifo = [](const QString& path, const QString&) {
        ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    };
    const auto link = [](const QString& path, const QString& outside) {
        QFile::link(outside, path);
    };
    const struct {
        const char* name;
        std::function<void(const QString&, const QString&)> make;
    } cases[] = {
        {"FIFO", fifo},
        {"link to a file elsewhere", link},
        {"folder", [](const QString& path, const QString&) { QDir().mkpath(path); }},
    };
    for (const auto& c : cases) {
        QTemporaryDir dir;
        const QString outside = dir.filePath(u"elsewhere.txt"_s);
        writeFile(outside, "theirs\n");
        ::chmod(QFile::encodeName(outside).constData(), 0644);
        const QString path = dir.filePath(u"quovant.log"_s);
        c.make(path, outside);
        RotatingLogWriter writer(path, 64, 1);
        writer.append("one\n");
        writer.appendAll({QByteArray(40, 'a'), QByteArray(40, 'b')});
        EXPECT_TRUE(writer.refused()) << c.name;
        EXPECT_EQ(readFile(outside), "theirs\n") << c.name;
        EXPECT_EQ(permissions(outside), 0644) << c.name;
        EXPECT_FALSE(QFileInfo::exists(backup(path, 1))) << c.name;

        QFile::remove(path);
        QDir().rmdir(path);
        writer.append("two\n");
        EXPECT_FALSE(writer.refused()) << c.name;
        EXPECT_EQ(readFile(path), "two\n") << c.name;
    }
    ::alarm(0);
}

} // namespace
} // namespace quovant
