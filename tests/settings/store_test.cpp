#include "settings/config.h"
#include "settings/learner.h"
#include "settings/log.h"
#include "settings/paths.h"
#include "settings/rotating_log_writer.h"
#include "settings/store.h"
#include "support/test_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

using namespace Qt::StringLiterals;

static void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
static void PrintTo(const QStringList& list, std::ostream* out) {
    *out << '[' << list.join(u"\", \""_s).prepend(u'"').append(u'"').toStdString() << ']';
}

namespace quovant {

static void PrintTo(const Utterance& u, std::ostream* out) {
    *out << u.toJson().toStdString();
}

namespace {

using testing::permissions;
using testing::ScopedUmask;
using testing::readFile;

using testing::writeFile;

constexpr char kCrashChildVariable[] = "QUOVANT_STORE_CRASH_CHILD_ROOT";
constexpr char kCrashChildRecordVariable[] = "QUOVANT_STORE_CRASH_CHILD_RECORD";

Utterance sample(int number, const QString& text = {}) {
    Utterance u;
    u.id = u"id-%1"_s.arg(number);
    u.timestamp = QDateTime(QDate(2026, 1, 31), QTime(9, 15, 0), Qt::UTC).addSecs(number);
    u.rawTranscript = u"raw %1"_s.arg(number);
    u.formattedText = u"formatted %1"_s.arg(number);
    u.shippedText = text.isEmpty() ? u"shipped %1"_s.arg(number) : text;
    u.guardVerdict = u"accepted"_s;
    u.engine = u"whisper"_s;
    u.formatter = u"ollama"_s;
    u.asrMS = 120;
    u.formatMS = 340;
    u.responseMS = 510;
    return u;
}

QByteArray lines(int from, int to, const QString& padding = {}) {
    QByteArray bytes;
    for (int i = from; i < to; ++i) {
        bytes += sample(i, padding.isEmpty() ? QString() : padding + QString::number(i)).toJson();
        bytes += '\n';
    }
    return bytes;
}

QList<QByteArray> fileLines(const QString& path) {
    QList<QByteArray> result;
    for (const QByteArray& line : readFile(path).split('\n')) {
        if (!line.isEmpty()) {
            result.append(line);
        }
    }
    return result;
}

QString idOf(const QByteArray& line) {
    const auto u = Utterance::parse(line);
    return u ? u->id : u"<undecodable>"_s;
}

ino_t inodeOf(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}

void setModified(const QString& path, time_t seconds) {
    const struct utimbuf times { seconds, seconds };
    ::utime(QFile::encodeName(path).constData(), &times);
}

// What is logged from its construction on, read back from the log file.
class LogSince {
public:
    LogSince() : m_start(log().size()) {}
    QString finish() const { return QString::fromUtf8(log().mid(m_start)); }

private:
    static QByteArray log() {
        Log::flush();
        return readFile(Paths::root() + u"/quovant.log"_s);
    }
    qsizetype m_start;
};

const QString kOverSizeWarning =
    u"[WARN] A history item exceeded the local retention ceiling and was not stored."_s;

TEST(Utterance, EncodesCompactJsonWithExactKeysAndOmitsAbsentOptionals) {
    Utterance full = sample(1, u"Ship \"it\"\\ now\nline two\ttab \u00e9 \U0001F600 \x01"_s);
    full.appBundleID = u"org.example.Editor"_s;
    full.appName = u"Editor"_s;
    full.audioFile = u"id-1.wav"_s;
    const Utterance bare = sample(2);

    const QByteArray fullJson = full.toJson();
    EXPECT_FALSE(fullJson.contains('\n'));
    EXPECT_FALSE(fullJson.contains(' ') && fullJson.contains("\": "));
    const QJsonObject object = QJsonDocument::fromJson(fullJson).object();
    QStringList keys = object.keys();
    keys.sort();
    EXPECT_EQ(keys, (QStringList{u"appBundleID"_s, u"appName"_s, u"asrMS"_s, u"audioFile"_s,
                                 u"engine"_s, u"formatMS"_s, u"formattedText"_s, u"formatter"_s,
                                 u"guardVerdict"_s, u"id"_s, u"rawTranscript"_s, u"responseMS"_s,
                                 u"shippedText"_s, u"timestamp"_s}));
    EXPECT_EQ(object.value("timestamp"_L1).toString(), u"2026-01-31T09:15:01Z"_s);
    EXPECT_TRUE(object.value("asrMS"_L1).isDouble());
    EXPECT_EQ(object.value("shippedText"_L1).toString(), full.shippedText);
    EXPECT_EQ(Utterance::parse(fullJson), full);

    const QByteArray bareJson = bare.toJson();
    for (const char* absent : {"appBundleID", "appName", "audioFile"}) {
        EXPECT_FALSE(bareJson.contains(absent)) << absent;
    }
    EXPECT_EQ(Utterance::parse(bareJson), bare);
}

TEST(Utterance, TimestampsHaveWholeSecondsAndAZoneDesignator) {
    const QDateTime withMillis(QDate(2026, 1, 31), QTime(10, 15, 0, 999), Qt::OffsetFromUTC, 3600);
    EXPECT_EQ(Utterance::formatTimestamp(withMillis), u"2026-01-31T09:15:00Z"_s);

    const auto offset = Utterance::parseTimestamp(u"2026-01-31T10:15:00+01:00"_s);
    ASSERT_TRUE(offset);
    EXPECT_EQ(offset->toUTC(), QDateTime(QDate(2026, 1, 31), QTime(9, 15), Qt::UTC));
    for (const QString& bad : {u"2026-01-31T09:15:00"_s, u"2026-01-31"_s, u"yesterday"_s,
                               u"2026-13-31T09:15:00Z"_s, u""_s}) {
        EXPECT_FALSE(Utterance::parseTimestamp(bad)) << bad.toStdString();
    }
}

TEST(Utterance, RejectsRecordsThatDoNotDecode) {
    const QJsonObject good = QJsonDocument::fromJson(sample(1).toJson()).object();
    const auto with = [&](const char* key, const QJsonValue& value) {
        QJsonObject o = good;
        if (value.isUndefined()) {
            o.remove(QLatin1StringView(key));
        } else {
            o.insert(QLatin1StringView(key), value);
        }
        return QJsonDocument(o).toJson(QJsonDocument::Compact);
    };
    const struct {
        const char* name;
        QByteArray json;
        bool decodes;
    } cases[] = {
        {"missing shippedText", with("shippedText", QJsonValue::Undefined), false},
        {"missing responseMS", with("responseMS", QJsonValue::Undefined), false},
        {"integer as string", with("asrMS", u"120"_s), false},
        {"fractional integer", with("formatMS", 1.5), false},
        {"text as number", with("engine", 7), false},
        {"optional of wrong type", with("appName", 5), false},
        {"timestamp without zone", with("timestamp", u"2026-01-31T09:15:00"_s), false},
        {"null optional is absent", with("audioFile", QJsonValue::Null), true},
        {"unknown key ignored", with("extra", true), true},
        {"array", "[1,2]", false},
        {"truncated", sample(1).toJson().chopped(5), false},
        {"invalid UTF-8", sample(1, u"caf\u00e9"_s).toJson().replace("\xC3\xA9", "\xC3"), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utterance::parse(c.json).has_value(), c.decodes) << c.name;
    }
}

TEST(Store, FirstAppendCreatesTheHistoryWithOneProtectedLine) {
    QTemporaryDir home;
    Store store(home.path());
    store.append(sample(1));
    EXPECT_EQ(store.totalCount(), 1);
    const QString history = home.filePath(u"history.jsonl"_s);
    EXPECT_EQ(readFile(history), sample(1).toJson() + '\n');
    EXPECT_EQ(permissions(history), 0600);
    // Under the limits a record is added at the end, never by rewriting the file.
    const ino_t inode = inodeOf(history);
    store.append(sample(2));
    EXPECT_EQ(store.totalCount(), 2);
    EXPECT_EQ(inodeOf(history), inode);
    EXPECT_EQ(readFile(history), lines(1, 3));
}

TEST(Store, AppendingBeyondTheEntryLimitDropsTheOldest) {
    QTemporaryDir home;
    const QString history = home.filePath(u"history.jsonl"_s);
    writeFile(history, lines(0, 2000));
    Store store(home.path());
    store.append(sample(2000));
    EXPECT_EQ(store.totalCount(), 2000);
    const QList<QByteArray> kept = fileLines(history);
    ASSERT_EQ(kept.size(), 2000);
    EXPECT_EQ(idOf(kept.first()), u"id-1"_s);
    EXPECT_EQ(idOf(kept.last()), u"id-2000"_s);
    EXPECT_EQ(readFile(history), lines(1, 2001));
}

TEST(Store, AFullEightMebibyteHistoryIsShrunkWithinBothLimitsInOneRewrite) {
    QTemporaryDir home;
    const QString history = home.filePath(u"history.jsonl"_s);
    // 2,000 lines of about 4.2 kB: just over 8 MiB, so the byte limit binds before the count.
    const QString padding(4000, u'x');
    writeFile(history, lines(0, 2000, padding));
    ASSERT_GT(QFileInfo(history).size(), 8 * 1024 * 1024);
    const ino_t before = inodeOf(history);

    Store store(home.path());
    store.append(sample(2000, padding + u"2000"_s));
    const qsizetype count = store.totalCount();

    const QByteArray after = readFile(history);
    EXPECT_LE(after.size(), 8 * 1024 * 1024);
    EXPECT_GT(after.size(), 8 * 1024 * 1024 - 5000);
    EXPECT_NE(inodeOf(history), before) << "pruning must replace the file, not edit it in place";
    const QList<QByteArray> kept = fileLines(history);
    EXPECT_EQ(kept.size(), count);
    EXPECT_EQ(after, lines(2001 - count, 2001, padding));
}

TEST(Store, AnOverSizeRecordIsRefusedWithAWarningAndTheFileIsUnchanged) {
    QTemporaryDir home;
    const QString history = home.filePath(u"history.jsonl"_s);
    const QByteArray existing = lines(0, 2);
    writeFile(history, existing);
    const Utterance exact = sample(7, u"e"_s);
    const qint64 limit = exact.toJson().size() + 1;
    Store store(home.path(), {2000, limit, 100, 1024});

    LogSince capture;
    store.append(sample(8, QString(static_cast<int>(limit), u'y')));
    EXPECT_EQ(store.totalCount(), 2);
    EXPECT_TRUE(capture.finish().contains(kOverSizeWarning));
    EXPECT_EQ(readFile(history), existing);

    // A record of exactly the limit is stored, and it alone survives the prune.
    store.append(exact);
    EXPECT_EQ(store.recentTranscripts(5), QStringList{u"e"_s});
}

TEST(Store, ARecordWhoseTimeCannotBeWrittenIsDroppedSilently) {
    QTemporaryDir home;
    Store store(home.path());
    Utterance noTime = sample(1);
    noTime.timestamp = QDateTime();
    Utterance farFuture = sample(2);
    farFuture.timestamp = QDateTime(QDate(12026, 1, 1), QTime(0, 0), Qt::UTC);
    store.append(noTime);
    store.append(farFuture);
    store.append(sample(3));
    EXPECT_EQ(store.totalCount(), 1);
    EXPECT_EQ(store.recentTranscripts(5), QStringList{u"shipped 3"_s});
}

TEST(Store, LimitsBelowOneActAsOne) {
    QTemporaryDir home;
    Store store(home.path(), {0, 1 << 20, -5, 1 << 20});
    EXPECT_EQ(store.limits(), (RetentionLimits{1, 1 << 20, 1, 1 << 20}));
    store.append(sample(1));
    store.append(sample(2));
    EXPECT_EQ(store.recentTranscripts(5), QStringList{u"shipped 2"_s});

    Store tiny(home.path() + u"/tiny"_s, {0, 0, 0, 0});
    EXPECT_EQ(tiny.limits(), (RetentionLimits{1, 1, 1, 1}));
    LogSince capture;
    tiny.append(sample(1));
    EXPECT_EQ(tiny.totalCount(), 0);
    EXPECT_TRUE(capture.finish().contains(kOverSizeWarning));
}

TEST(Store, RecentTranscriptsAreTheLastLinesOldestFirstSkippingDamagedOnes) {
    const QByteArray big = sample(90, QString(100000, u'b')).toJson() + '\n';
    const struct {
        const char* name;
        QByteArray content;
        qsizetype limit;
        QStringList expected;
    } cases[] = {
        {"three lines", lines(0, 3), 5, {u"shipped 0"_s, u"shipped 1"_s, u"shipped 2"_s}},
        {"corrupt line among the last five",
         lines(0, 3) + "{\"id\":\n\n" + lines(3, 6),
         5,
         {u"shipped 2"_s, u"shipped 3"_s, u"shipped 4"_s, u"shipped 5"_s}},
        {"damaged last line", lines(0, 3) + sample(3).toJson().left(30), 2, {u"shipped 2"_s}},
        {"limit zero", lines(0, 3), 0, {}},
        {"negative limit", lines(0, 3), -1, {}},
        {"no file", QByteArray(), 5, {}},
        {"last line longer than one read",
         lines(0, 2) + big,
         2,
         {u"shipped 1"_s, QString(100000, u'b')}},
        {"line with invalid UTF-8 alone is lost",
         lines(0, 1) + sample(1).toJson().replace("shipped", "sh\xFFpped") + '\n' + lines(2, 3),
         5,
         {u"shipped 0"_s, u"shipped 2"_s}},
    };
    for (const auto& c : cases) {
        QTemporaryDir home;
        if (!c.content.isNull()) {
            writeFile(home.filePath(u"history.jsonl"_s), c.content);
        }
        Store store(home.path());
        EXPECT_EQ(store.recentTranscripts(c.limit), c.expected) << c.name;
    }
}

TEST(Store, ARecordAfterATornLastLineStartsOnAFreshLine) {
    QTemporaryDir home;
    const QString history = home.filePath(u"history.jsonl"_s);
    // A crash cut the third record inside a two-byte character.
    const QByteArray torn = sample(2, u"caf\u00e9 au lait"_s).toJson();
    writeFile(history, lines(0, 2) + torn.left(torn.indexOf("\xC3\xA9") + 1));
    Store store(home.path());
    store.append(sample(3));
    EXPECT_EQ(store.recentTranscripts(10),
              (QStringList{u"shipped 0"_s, u"shipped 1"_s, u"shipped 3"_s}));
    const QList<QByteArray> all = fileLines(history);
    ASSERT_EQ(all.size(), 4);
    EXPECT_EQ(all.last(), sample(3).toJson());
    EXPECT_EQ(store.totalCount(), 4);
}

// Runs only as the child of the crash test: appends large records as fast as it can and reports
// on standard output each record known to be on disk, until it is killed.
TEST(StoreCrashChild, AppendsUntilKilled) {
    const QString root = qEnvironmentVariable(kCrashChildVariable);
    if (root.isEmpty()) {
        GTEST_SKIP() << "runs only inside the crash test";
    }
    // Large records make a kill inside the write of one likely; small limits make a kill
    // inside the rewrite of the whole file likely.
    const int recordSize = qEnvironmentVariableIntValue(kCrashChildRecordVariable);
    Store store(root, {recordSize > 1000000 ? 1000 : 20, 1 << 30, 100, 1 << 30});
    const QString padding(recordSize, u'z');
    for (int i = 0;; ++i) {
        store.append(sample(i, padding + QString::number(i)));
        if (i % 3 == 2) {
            store.totalCount();
            std::printf("ack %d\n", i);
            std::fflush(stdout);
        }
    }
}

TEST(Store, AProcessKilledWhileAppendingLeavesEveryEarlierRecordReadable) {
    QTemporaryDir home;
    const struct {
        int recordSize;
        int acknowledgements;
    } rounds[] = {{4000000, 2}, {60000, 20}, {60000, 31}};
    for (const auto& round : rounds) {
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(kCrashChildVariable), home.path());
        environment.insert(QString::fromLatin1(kCrashChildRecordVariable),
                           QString::number(round.recordSize));
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(),
                    {u"--gtest_filter=StoreCrashChild.AppendsUntilKilled"_s});
        ASSERT_TRUE(child.waitForStarted(10000));
        int acknowledged = -1;
        QByteArray output;
        while (acknowledged < round.acknowledgements && child.waitForReadyRead(60000)) {
            output += child.readAllStandardOutput();
            for (const QByteArray& line : output.split('\n')) {
                if (line.startsWith("ack ")) {
                    acknowledged = std::max(acknowledged, line.mid(4).toInt());
                }
            }
        }
        ASSERT_GE(acknowledged, round.acknowledgements) << output.constData();
        ::kill(static_cast<pid_t>(child.processId()), SIGKILL);
        child.waitForFinished(10000);

        // Records are numbered afresh each round; within the file they must run without gaps and
        // every one but a damaged last line must decode.
        const QList<QByteArray> all = fileLines(home.filePath(u"history.jsonl"_s));
        ASSERT_FALSE(all.isEmpty());
        QList<int> numbers;
        for (qsizetype i = 0; i < all.size(); ++i) {
            const auto u = Utterance::parse(all[i]);
            if (!u) {
                EXPECT_EQ(i, all.size() - 1) << "only the last line may be damaged";
                continue;
            }
            numbers.append(u->id.mid(3).toInt());
        }
        ASSERT_FALSE(numbers.isEmpty());
        EXPECT_GE(numbers.last(), acknowledged);
        for (qsizetype i = 1; i < numbers.size(); ++i) {
            EXPECT_EQ(numbers[i], numbers[i - 1] + 1) << "a record went missing";
        }

        Store store(home.path(), {20, 1 << 30, 100, 1 << 30});
        store.append(sample(100000 + round.acknowledgements, u"after the crash"_s));
        const QStringList recent = store.recentTranscripts(2);
        ASSERT_FALSE(recent.isEmpty());
        EXPECT_EQ(recent.last(), u"after the crash"_s);
        const QStringList leftovers =
            QDir(home.path()).entryList({u"history.jsonl.tmp-*"_s}, QDir::Files);
        EXPECT_TRUE(leftovers.isEmpty()) << leftovers.join(u' ').toStdString();
        // Start the next round from a clean file.
        store.deleteRetainedData();
    }
}

TEST(Store, EverythingWrittenIsPrivateWhateverTheUmask) {
    QTemporaryDir home;
    ScopedUmask open(0);
    const QString root = home.path() + u"/nested/data"_s;
    {
        Store store(root, {1, 1 << 20, 100, 1 << 30});
        store.append(sample(1));
        store.append(sample(2)); // rewrites the history
        EXPECT_EQ(store.totalCount(), 1);
        const QString wav = store.audioURL(u"one"_s);
        writeFile(wav, "RIFF");
        store.didWriteAudio(wav);
        EXPECT_EQ(store.retainedAudioCount(), 1);
        store.ensureVocabularyFile();
        EXPECT_EQ(permissions(root + u"/history.jsonl"_s), 0600);
        EXPECT_EQ(permissions(wav), 0600);
        store.deleteRetainedData();
        Learner learner(root);
        learner.ingest(u"We use Kubernetes"_s);
        Config().save(root + u"/settings/x/config.json"_s);
        RotatingLogWriter(root + u"/logs/y/quovant.log"_s, 1024, 1).append("line\n");
    }
    const struct {
        QString path;
        int mode;
    } expected[] = {
        {home.path() + u"/nested"_s, 0700},  {root, 0700},
        {root + u"/history.jsonl"_s, 0600},  {root + u"/audio"_s, 0700},
        {root + u"/vocabulary.txt"_s, 0600}, {root + u"/learned.json"_s, 0600},
        {root + u"/settings"_s, 0700},       {root + u"/settings/x/config.json"_s, 0600},
        {root + u"/logs"_s, 0700},           {root + u"/logs/y/quovant.log"_s, 0600},
    };
    for (const auto& e : expected) {
        EXPECT_EQ(permissions(e.path), e.mode) << e.path.toStdString();
    }
}

TEST(Store, AudioIsPrunedOldestFirstByTimeThenName) {
    QTemporaryDir home;
    Store store(home.path(), {2000, 1 << 20, 3, 1000});
    const auto record = [&](const QString& id, time_t modified, int bytes) {
        const QString path = store.audioURL(id);
        writeFile(path, QByteArray(bytes, 'a'));
        setModified(path, modified);
        store.didWriteAudio(path);
        store.retainedAudioCount(); // waits for the queued pruning
    };
    store.audioURL(u"any"_s);
    writeFile(home.filePath(u"audio/notes.txt"_s), QByteArray(5000, 't'));
    setModified(home.filePath(u"audio/notes.txt"_s), 1);
    QDir(home.path()).mkpath(u"audio/folder.wav"_s);
    record(u"c"_s, 100, 10);
    record(u"b"_s, 100, 10);
    record(u"old"_s, 50, 10);
    EXPECT_EQ(store.retainedAudioCount(), 3);
    record(u"new"_s, 200, 10); // a fourth: the oldest by time goes
    EXPECT_FALSE(QFile::exists(home.filePath(u"audio/old.wav"_s)));
    record(u"UPPER"_s, 300, 10); // equal times: "b" goes before "c"
    EXPECT_FALSE(QFile::exists(home.filePath(u"audio/b.wav"_s)));
    EXPECT_TRUE(QFile::exists(home.filePath(u"audio/c.wav"_s)));
    EXPECT_EQ(store.retainedAudioCount(), 3);

    // The byte ceiling: a 995-byte recording leaves room for nothing older.
    record(u"large"_s, 400, 995);
    EXPECT_EQ(store.retainedAudioCount(), 1);
    EXPECT_TRUE(QFile::exists(home.filePath(u"audio/large.wav"_s)));
    // Neither the text file nor the folder named like a recording was counted or pruned.
    EXPECT_TRUE(QFile::exists(home.filePath(u"audio/notes.txt"_s)));
    EXPECT_TRUE(QFileInfo(home.filePath(u"audio/folder.wav"_s)).isDir());

    store.didWriteAudio(home.filePath(u"audio/missing.wav"_s));
    EXPECT_EQ(store.retainedAudioCount(), 1);
}

TEST(Store, AudioURLStaysInsideTheAudioFolder) {
    QTemporaryDir home;
    Store store(home.path());
    EXPECT_EQ(store.audioURL(u"abc-123"_s), home.path() + u"/audio/abc-123.wav"_s);
    EXPECT_EQ(permissions(home.filePath(u"audio"_s)), 0700);
    EXPECT_EQ(store.audioURL(u"../../escape"_s), home.path() + u"/audio/.._.._escape.wav"_s);
}

TEST(Store, DeletingRetainedDataLeavesEmptyHistoryAndAudioAndNothingElse) {
    QTemporaryDir home;
    Store store(home.path());
    store.append(sample(1));
    const QString wav = store.audioURL(u"one"_s);
    writeFile(wav, "RIFF");
    store.didWriteAudio(wav);
    store.ensureVocabularyFile();
    writeFile(home.filePath(u"learned.json"_s), "{}");
    store.append(sample(2)); // queued before the deletion, so deleted too
    store.deleteRetainedData();

    EXPECT_EQ(readFile(home.filePath(u"history.jsonl"_s)), QByteArray());
    EXPECT_TRUE(QFileInfo::exists(home.filePath(u"history.jsonl"_s)));
    EXPECT_TRUE(QDir(home.filePath(u"audio"_s)).isEmpty());
    EXPECT_EQ(store.totalCount(), 0);
    EXPECT_EQ(store.retainedAudioCount(), 0);
    EXPECT_EQ(readFile(home.filePath(u"learned.json"_s)), "{}");
    EXPECT_EQ(store.vocabulary().size(), 5);
    store.append(sample(3));
    EXPECT_EQ(store.recentTranscripts(5), QStringList{u"shipped 3"_s});
}

TEST(Store, DeletingRetainedDataReportsAFailure) {
    QTemporaryDir home;
    Store store(home.path());
    // A non-empty folder where the history should be cannot be removed as a file.
    QDir(home.path()).mkpath(u"history.jsonl/inside"_s);
    EXPECT_THROW(store.deleteRetainedData(), std::filesystem::filesystem_error);
    // The store keeps working after the failure.
    EXPECT_EQ(store.retainedAudioCount(), 0);
}

TEST(Store, TheVocabularyFileStartsWithTheDefaultTextAndIsNeverOverwritten) {
    QTemporaryDir home;
    Store store(home.path());
    EXPECT_EQ(store.vocabulary(), QStringList());
    store.ensureVocabularyFile();
    const QString path = home.filePath(u"vocabulary.txt"_s);
    EXPECT_EQ(readFile(path),
              "# Quovant custom vocabulary \xE2\x80\x94 one term per line.\n"
              "# These are passed to the recogniser as contextual hints, which is how\n"
              "# names, product names and jargon stop being transcribed as something else.\n"
              "# Lines starting with # are ignored. Edit freely; changes apply next utterance.\n"
              "\n"
              "Quovant\nWispr Flow\nSpeechAnalyzer\nAnthropic\nClaude Code");
    EXPECT_EQ(permissions(path), 0600);
    EXPECT_EQ(store.vocabulary(), (QStringList{u"Quovant"_s, u"Wispr Flow"_s, u"SpeechAnalyzer"_s,
                                               u"Anthropic"_s, u"Claude Code"_s}));
    writeFile(path, "Mine\n");
    store.ensureVocabularyFile();
    EXPECT_EQ(readFile(path), "Mine\n");
}

TEST(Store, VocabularyTermsAreTrimmedNonCommentLinesInFileOrder) {
    const struct {
        const char* name;
        QByteArray content;
        QStringList expected;
    } cases[] = {
        {"padded, comment, empty",
         "  \tKubernetes \t\n# comment\n\n\t\nPostgres",
         {u"Kubernetes"_s, u"Postgres"_s}},
        {"indented comment and inner hash",
         "  # also a comment\nC# language\n",
         {u"C# language"_s}},
        {"duplicates remain", "Go\nGo\n", {u"Go"_s, u"Go"_s}},
        {"CRLF endings", "Alpha\r\nBeta\r\n", {u"Alpha"_s, u"Beta"_s}},
        {"byte-order mark", "\xEF\xBB\xBF# header\nGamma", {u"Gamma"_s}},
        {"one line not UTF-8", "Delta\nbad \xFF line\nEpsilon", {u"Delta"_s, u"Epsilon"_s}},
    };
    for (const auto& c : cases) {
        QTemporaryDir home;
        writeFile(home.filePath(u"vocabulary.txt"_s), c.content);
        Store store(home.path());
        EXPECT_EQ(store.vocabulary(), c.expected) << c.name;
    }
}

// Fails the run (SIGALRM) instead of letting a test that should never block hang forever.
struct Watchdog {
    explicit Watchdog(unsigned seconds) { ::alarm(seconds); }
    ~Watchdog() { ::alarm(0); }
};

void makeFifo(const QString& path) {
    ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
}

TEST(Store, LinksAndSpecialFilesAsTheHistoryAreNeitherFollowedNorWaitedOn) {
    const Watchdog watchdog(120);
    const struct {
        const char* name;
        std::function<void(const QString& path, const QString& outside)> make;
    } cases[] = {
        {"FIFO", [](const QString& path, const QString&) { makeFifo(path); }},
        {"link to a file elsewhere",
         [](const QString& path, const QString& outside) { QFile::link(outside, path); }},
        {"dangling link",
         [](const QString& path, const QString& outside) {
             QFile::link(outside + u".missing"_s, path);
         }},
        {"folder", [](const QString& path, const QString&) { QDir().mkpath(path); }},
    };
    for (const auto& c : cases) {
        QTemporaryDir home;
        const QString outside = home.filePath(u"elsewhere.jsonl"_s);
        writeFile(outside, lines(0, 2));
        ::chmod(QFile::encodeName(outside).constData(), 0644);
        const QString root = home.filePath(u"root"_s);
        QDir().mkpath(root);
        const QString path = root + u"/history.jsonl"_s;
        c.make(path, outside);
        struct stat before {};
        ::lstat(QFile::encodeName(path).constData(), &before);
        LogSince capture;
        {
            Store store(root, {1, 1 << 20, 1, 1 << 20});
            store.append(sample(1));
            store.append(sample(2));
            EXPECT_EQ(store.totalCount(), 0) << c.name;
            EXPECT_EQ(store.recentTranscripts(5), QStringList()) << c.name;
        }
        EXPECT_EQ(capture.finish().count(u"[WARN] History was not stored: history.jsonl is a "
                                         u"link or not a regular file, and it is left as it is."_s),
                  1)
            << c.name;
        struct stat after {};
        ::lstat(QFile::encodeName(path).constData(), &after);
        EXPECT_EQ(after.st_mode, before.st_mode) << c.name;
        EXPECT_EQ(after.st_ino, before.st_ino) << c.name;
        EXPECT_EQ(readFile(outside), lines(0, 2)) << c.name;
        EXPECT_EQ(permissions(outside), 0644) << c.name;
    }
}

TEST(Store, HistoryLinesAreCountedAcrossEveryReadBoundary) {
    constexpr qsizetype kChunk = 256 * 1024;
    const QByteArray record = sample(1).toJson();
    const auto padded = [&](qsizetype length) {
        QByteArray line = record;
        line.insert(1, "\"pad\":\"" + QByteArray(length - record.size() - 9, 'p') + "\",");
        return line;
    };
    const struct {
        const char* name;
        QByteArray content;
        qsizetype count;
    } cases[] = {
        {"line feed on the boundary", padded(kChunk - 1) + '\n' + record + '\n', 2},
        {"line across the boundary", padded(kChunk + 10) + '\n' + record + '\n', 2},
        {"line feed right after it", padded(kChunk) + '\n' + record, 2},
        {"blank lines around it", "\n\n" + padded(kChunk - 3) + "\n\n\n" + record + "\n\n", 2},
        {"line of three chunks", padded(3 * kChunk + 5), 1},
        {"only line feeds", QByteArray(kChunk + 7, '\n'), 0},
    };
    for (const auto& c : cases) {
        QTemporaryDir home;
        writeFile(home.filePath(u"history.jsonl"_s), c.content);
        Store store(home.path(), {1000, 1 << 30, 1, 1 << 20});
        EXPECT_EQ(store.totalCount(), c.count) << c.name;
    }
}

qint64 addressSpaceInUse() {
    const QList<QByteArray> status = readFile(u"/proc/self/status"_s).split('\n');
    for (const QByteArray& line : status) {
        if (line.startsWith("VmSize:")) {
            return line.mid(7).trimmed().split(' ').first().toLongLong() * 1024;
        }
    }
    return 0;
}

TEST(Store, AThreeGigabyteHistoryIsQueriedAndPrunedInBoundedMemory) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    QTemporaryDir home;
    const QString path = home.filePath(u"history.jsonl"_s);
    {
        // Sparse: no disk space is used, reading it gives zeros.
        const QByteArray records = '\n' + lines(0, 3);
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_TRUE(file.resize((3LL << 30) - records.size()));
        file.seek(file.size());
        file.write(records);
    }
    const auto queryAndAppend = [&] {
        ::mallopt(M_ARENA_MAX, 2);
        const rlimit limit{rlim_t(addressSpaceInUse() + (1LL << 30)),
                           rlim_t(addressSpaceInUse() + (1LL << 30))};
        if (::setrlimit(RLIMIT_AS, &limit) != 0) {
            std::_Exit(2);
        }
        Store store(home.path());
        // Fewer records than asked for: the reading reaches as far back as it ever goes.
        const bool recent = store.recentTranscripts(5) ==
                            QStringList{u"shipped 0"_s, u"shipped 1"_s, u"shipped 2"_s};
        store.append(sample(3));
        const bool pruned = store.totalCount() == 4 &&
                            store.recentTranscripts(5) == QStringList{u"shipped 0"_s, u"shipped 1"_s,
                                                                      u"shipped 2"_s, u"shipped 3"_s};
        std::_Exit(recent && pruned ? 0 : 1);
    };
    EXPECT_EXIT(queryAndAppend(), ::testing::ExitedWithCode(0), "");
}

TEST(Store, AVocabularyThatIsNotASmallRegularFileIsIgnoredWithOneWarning) {
    const Watchdog watchdog(120);
    const struct {
        const char* name;
        std::function<void(const QString& path, const QString& outside)> make;
        QStringList expected;
    } cases[] = {
        {"FIFO", [](const QString& path, const QString&) { makeFifo(path); }, {}},
        {"link to /dev/zero",
         [](const QString& path, const QString&) { QFile::link(u"/dev/zero"_s, path); },
         {}},
        {"over 1 MiB",
         [](const QString& path, const QString&) {
             writeFile(path, "Kafka\n" + QByteArray(1 << 20, '#'));
         },
         {}},
        // Reading through a link changes nothing, so a vocabulary kept elsewhere is used.
        {"link to a word list", [](const QString& path, const QString& outside) {
             QFile::link(outside, path);
         }, {u"Kafka"_s}},
    };
    const QString warning = u"[WARN] Custom vocabulary was ignored: vocabulary.txt is not a "
                            u"readable regular file of at most 1 MiB."_s;
    for (const auto& c : cases) {
        QTemporaryDir home;
        const QString outside = home.filePath(u"words.txt"_s);
        writeFile(outside, "Kafka\n");
        const QString root = home.filePath(u"root"_s);
        QDir().mkpath(root);
        c.make(root + u"/vocabulary.txt"_s, outside);
        LogSince capture;
        Store store(root);
        store.ensureVocabularyFile();
        EXPECT_EQ(store.vocabulary(), c.expected) << c.name;
        EXPECT_EQ(store.vocabulary(), c.expected) << c.name;
        EXPECT_EQ(capture.finish().count(warning), c.expected.isEmpty() ? 1 : 0) << c.name;
    }
}

TEST(Store, RecordingsBehindLinksAreNeitherCountedNorPruned) {
    QTemporaryDir home;
    const QString elsewhere = home.filePath(u"elsewhere"_s);
    QDir().mkpath(elsewhere);
    for (const char* name : {"a.wav", "b.wav", "c.wav"}) {
        writeFile(elsewhere + u'/' + QString::fromUtf8(name), "RIFF");
        ::chmod(QFile::encodeName(elsewhere + u'/' + QString::fromUtf8(name)).constData(), 0644);
    }
    const QString linked = home.filePath(u"linked"_s);
    QDir().mkpath(linked);
    QFile::link(elsewhere, linked + u"/audio"_s);
    LogSince capture;
    {
        Store store(linked, {10, 1 << 20, 1, 1 << 20});
        store.didWriteAudio(elsewhere + u"/a.wav"_s);
        EXPECT_EQ(store.retainedAudioCount(), 0);
    }
    Paths::prepareRoot(linked);
    EXPECT_EQ(QDir(elsewhere).entryList(QDir::Files).size(), 3);
    EXPECT_EQ(permissions(elsewhere + u"/c.wav"_s), 0644);
    EXPECT_TRUE(capture.finish().contains(u"[WARN] Recordings were not pruned: audio is a link "
                                          u"or not a folder, and nothing in it is deleted."_s));

    // Inside a real folder, a linked recording is not the store's to delete either.
    const QString real = home.filePath(u"real"_s);
    Store store(real, {10, 1 << 20, 1, 1 << 20});
    QFile::link(elsewhere + u"/b.wav"_s, store.audioURL(u"link"_s));
    const QString own = store.audioURL(u"own"_s);
    writeFile(own, "RIFF");
    store.didWriteAudio(own);
    EXPECT_EQ(store.retainedAudioCount(), 1);
    EXPECT_TRUE(QFileInfo(real + u"/audio/link.wav"_s).isSymLink());
    EXPECT_TRUE(QFile::exists(elsewhere + u"/b.wav"_s));
}

} // namespace
} // namespace quovant
