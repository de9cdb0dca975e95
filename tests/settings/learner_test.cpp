#include "settings/learner.h"
#include "settings/log.h"
#include "settings/paths.h"
#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace Qt::StringLiterals;

static void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace quovant {

static void PrintTo(const Learner::Term& t, std::ostream* out) {
    *out << '{' << t.surface.toStdString() << ", " << t.count << ", " << t.properNoun << '}';
}

namespace {

using testing::permissions;
using testing::readFile;

using testing::writeFile;
using Term = Learner::Term;

QString describe(const QList<Learner::Token>& tokens) {
    QStringList parts;
    for (const auto& token : tokens) {
        parts.append(token.word + (token.endsSentence ? u"|"_s : QString()));
    }
    return parts.join(u' ');
}

TEST(Learner, TokenizesOnWholeCharactersKeepingInnerPunctuationOfWords) {
    // A "|" marks a token that ends a sentence.
    const struct {
        QString text;
        QString tokens;
    } cases[] = {
        {u"Is it done? Yes! Fine."_s, u"Is it done| Yes| Fine"_s},
        {u"Ship v1.2.3 now"_s, u"Ship v1.2.3 now"_s},
        {u"path/to/file_name"_s, u"path/to/file_name"_s},
        {u"'quoted' \"double\" don't"_s, u"quoted double don't"_s},
        {u"trailing-- slash/ under_ dots..."_s, u"trailing slash under dots"_s},
        {u"... . -- '' ?!"_s, u""_s},
        {u".hidden file"_s, u"hidden file"_s},
        {u"a,b;c(d)e"_s, u"a b c d e"_s},
        {u"cafe\u0301 na\u00efve \u00bd"_s, u"cafe\u0301 na\u00efve \u00bd"_s},
        {u"emoji\U0001F600split \u4E2D\u6587"_s, u"emoji split \u4E2D\u6587"_s},
        {u"end.\nNext"_s, u"end Next"_s},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(describe(Learner::tokenize(c.text)), c.tokens) << c.text.toStdString();
    }
}

TEST(Learner, LearnsDistinctiveWordsAndTracksProperNouns) {
    const struct {
        const char* name;
        QStringList texts;
        QHash<QString, Term> terms;
    } cases[] = {
        {"mid-sentence capital is a proper noun",
         {u"We deployed it to Kubernetes today"_s},
         {{u"kubernetes"_s, {u"Kubernetes"_s, 1, true}},
          {u"deployed"_s, {u"deployed"_s, 1, false}}}},
        {"capital at the start is not",
         {u"Kubernetes is great"_s},
         {{u"kubernetes"_s, {u"Kubernetes"_s, 1, false}}}},
        {"short, common and numeric words learn nothing",
         {u"it is 2024 and k8 was okay, I think 42"_s},
         {}},
        {"version-like jargon keeps its hyphen",
         {u"see gpt-4o"_s},
         {{u"gpt-4o"_s, {u"gpt-4o"_s, 1, false}}}},
        {"file names keep the inner full stop",
         {u"Open config.json."_s},
         {{u"open"_s, {u"Open"_s, 1, false}}, {u"config.json"_s, {u"config.json"_s, 1, false}}}},
        {"after a question mark is a sentence start",
         {u"Really? Grafana works"_s},
         {{u"grafana"_s, {u"Grafana"_s, 1, false}}}},
        {"after a comma is not",
         {u"Really, Grafana works"_s},
         {{u"grafana"_s, {u"Grafana"_s, 1, true}}}},
        // A full stop is appended to the word, then stripped: it does not end the sentence.
        {"after a full stop is not either",
         {u"Fine. Grafana works"_s},
         {{u"grafana"_s, {u"Grafana"_s, 1, true}}}},
        {"surface follows the last proper-noun spelling only",
         {u"use postgres"_s, u"we use PostgreSQL"_s, u"postgresql rocks"_s, u"Postgres"_s},
         {{u"postgres"_s, {u"postgres"_s, 2, false}},
          {u"postgresql"_s, {u"PostgreSQL"_s, 2, true}},
          {u"rocks"_s, {u"rocks"_s, 1, false}}}},
        {"proper noun never reverts",
         {u"hi Kafka"_s, u"kafka again"_s},
         {{u"kafka"_s, {u"Kafka"_s, 2, true}}}},
        {"non-ASCII words are lower-cased fully",
         {u"ask \u00C9COLE"_s},
         {{u"\u00e9cole"_s, {u"\u00C9COLE"_s, 1, true}}}},
    };
    for (const auto& c : cases) {
        QTemporaryDir home;
        Learner learner(home.path());
        for (const QString& text : c.texts) {
            learner.ingest(text);
        }
        EXPECT_EQ(learner.model().terms, c.terms) << c.name;
    }
}

TEST(Learner, EveryCommonWordIsIgnoredWhateverItsCase) {
    for (const char* word : {"the", "let's", "working", "tomorrow", "basically", "thanks"}) {
        EXPECT_TRUE(Learner::isCommonWord(QString::fromUtf8(word))) << word;
    }
    EXPECT_FALSE(Learner::isCommonWord(u"lets go"_s));
    EXPECT_FALSE(Learner::isCommonWord(u"let\u2019s"_s));
    QTemporaryDir home;
    Learner learner(home.path());
    learner.ingest(u"so THE Tomorrow Let's Basically"_s);
    EXPECT_TRUE(learner.model().terms.isEmpty());
}

TEST(Learner, LearnedTermsAreOrderedByCountThenSurfaceAndCappedAtEighty) {
    QTemporaryDir home;
    Learner learner(home.path());
    for (int i = 0; i < 5; ++i) {
        learner.ingest(u"beta Alpha"_s);
    }
    learner.ingest(u"seen once: zeta"_s); // count 1, not proper: does not qualify
    learner.ingest(u"meet Omega"_s);      // a proper noun qualifies at once
    learner.ingest(u"gamma gamma gamma"_s);
    // Equal counts: upper-case letters sort before lower-case ones.
    EXPECT_EQ(learner.learnedTerms(), (QStringList{u"Alpha"_s, u"beta"_s, u"gamma"_s, u"Omega"_s}));
    EXPECT_EQ(learner.learnedCount(), 4);
    learner.ingest(u" ... ?! -- "_s); // no tokens: not counted
    learner.ingest(u"ok so"_s);       // tokens, though nothing learnable: counted
    EXPECT_EQ(learner.model().utterances, 9);

    QTemporaryDir many;
    Learner big(many.path());
    for (int i = 0; i < 100; ++i) {
        big.ingest(u"see Term%1x"_s.arg(QChar(u'a' + i % 26)) + QString::number(i));
    }
    EXPECT_EQ(big.learnedCount(), 100);
    const struct {
        std::optional<qsizetype> limit;
        qsizetype size;
    } limits[] = {{std::nullopt, 80}, {10, 10}, {200, 80}, {0, 0}, {-3, 0}};
    for (const auto& l : limits) {
        EXPECT_EQ(big.learnedTerms(l.limit).size(), l.size) << l.limit.value_or(-99);
    }
    // Ties are broken by code point, so a character beyond U+FFFF sorts after U+FF21.
    QTemporaryDir third;
    Learner order(third.path());
    order.ingest(u"meet X\U0001D400a X\uFF21a"_s);
    EXPECT_EQ(order.learnedTerms(), (QStringList{u"X\uFF21a"_s, u"X\U0001D400a"_s}));
}

TEST(Learner, SavesOnceASecondAfterTheFirstChangeAndReloads) {
    QTemporaryDir home;
    const QString path = home.filePath(u"learned.json"_s);
    const int notify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(notify, 0);
    ::inotify_add_watch(notify, QFile::encodeName(home.path()).constData(),
                        IN_MOVED_TO | IN_CREATE);
    const auto writesOfLearned = [&] {
        int count = 0;
        alignas(inotify_event) char buffer[8192];
        for (ssize_t n; (n = ::read(notify, buffer, sizeof buffer)) > 0;) {
            for (char* p = buffer; p < buffer + n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(p);
                if (event->len > 0 && qstrcmp(event->name, "learned.json") == 0) {
                    ++count;
                }
                p += sizeof(inotify_event) + event->len;
            }
        }
        return count;
    };

    Learner::Model saved;
    {
        Learner learner(home.path());
        for (int i = 0; i < 10; ++i) {
            learner.ingest(u"deploy with Terraform and Ansible"_s);
        }
        EXPECT_FALSE(QFile::exists(path)) << "saving must wait";
        std::this_thread::sleep_for(std::chrono::milliseconds(1600));
        EXPECT_EQ(writesOfLearned(), 1);
        saved = learner.model();
        EXPECT_EQ(Learner::parse(readFile(path)), saved);
        EXPECT_EQ(permissions(path), 0600);
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        EXPECT_EQ(writesOfLearned(), 0) << "nothing changed, so nothing to write";
        learner.ingest(u"and Pulumi"_s);
    }
    // The destructor writes the pending save instead of dropping it.
    EXPECT_EQ(writesOfLearned(), 1);
    ::close(notify);
    EXPECT_EQ(saved.utterances, 10);
    Learner reloaded(home.path());
    EXPECT_EQ(reloaded.model().utterances, 11);
    EXPECT_EQ(reloaded.model().terms.value(u"terraform"_s), (Term{u"Terraform"_s, 10, true}));
    EXPECT_EQ(reloaded.model().terms.value(u"pulumi"_s), (Term{u"Pulumi"_s, 1, true}));
}

TEST(Learner, EncodingIsTheCompactSortedJsonAndRoundTripsAwkwardText) {
    Learner::Model model;
    model.utterances = 9007199254740993;
    for (const QString& word : {u"plain"_s, u"quote\"and\\slash"_s, u"line\nfeed\ttab\x01"_s,
                                u"\U0001F600emoji"_s, u"Zoë"_s, u"\u2028sep"_s, u"del\x7f"_s}) {
        model.terms.insert(word.toLower(), Term{word, word.size(), word.size() % 2 == 0});
    }
    model.terms.insert(u"huge"_s, Term{u"Huge"_s, std::numeric_limits<qint64>::max(), false});
    const QByteArray encoded = Learner::encode(model);
    EXPECT_EQ(Learner::parse(encoded), model);
    EXPECT_EQ(QJsonDocument::fromJson(encoded).toJson(QJsonDocument::Compact), encoded);
    EXPECT_EQ(Learner::encode({}), R"({"terms":{},"utterances":0})");
}

QByteArray logTail() {
    Log::flush();
    return readFile(Paths::root() + u"/quovant.log"_s).right(4000);
}

TEST(Learner, AnUnusableFileIsSetAsideAndLearningStartsAfresh) {
    const QByteArray good =
        R"({"terms":{"kafka":{"surface":"Kafka","count":3,"properNoun":true}},"utterances":4})";
    const auto fifo = [](const QString& path) {
        ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    };
    const auto zeros = [](const QString& path) { QFile::link(u"/dev/zero"_s, path); };
    const struct {
        const char* name;
        QByteArray content;
        std::function<void(const QString&)> make;
    } cases[] = {
        {"truncated", good.left(good.size() / 2), {}},
        {"empty", "", {}},
        {"array", "[]", {}},
        {"count is text", QByteArray(good).replace("3", "\"3\""), {}},
        {"count is fractional", QByteArray(good).replace("3", "3.5"), {}},
        {"properNoun is a number", QByteArray(good).replace("true", "1"), {}},
        {"surface missing", QByteArray(good).replace("\"surface\":\"Kafka\",", ""), {}},
        {"utterances missing", QByteArray(good).replace(",\"utterances\":4", ""), {}},
        {"terms is an array", R"({"terms":[],"utterances":1})", {}},
        {"too large", "{\"terms\":{},\"utterances\":1,\"x\":\"" + QByteArray(33 << 20, 'x') + "\"}",
         {}},
        // Neither may block or be read without end.
        {"FIFO", {}, fifo},
        {"link to /dev/zero", {}, zeros},
    };
    for (const auto& c : cases) {
        QTemporaryDir home;
        const QString path = home.filePath(u"learned.json"_s);
        const QString preserved = home.filePath(u"learned.invalid.json"_s);
        writeFile(preserved, "an older damaged copy");
        if (c.make) {
            c.make(path);
        } else {
            writeFile(path, c.content);
        }
        {
            Learner learner(home.path());
            EXPECT_EQ(learner.model(), Learner::Model{}) << c.name;
            learner.ingest(u"see Redis"_s);
        }
        struct stat info {};
        ASSERT_EQ(::lstat(QFile::encodeName(preserved).constData(), &info), 0) << c.name;
        if (!c.make) {
            EXPECT_EQ(readFile(preserved), c.content) << c.name;
        }
        const auto saved = Learner::parse(readFile(path));
        ASSERT_TRUE(saved) << c.name;
        EXPECT_EQ(saved->terms.keys(), QStringList{u"redis"_s}) << c.name;
    }
    EXPECT_TRUE(logTail().contains("[WARN] Learned vocabulary was invalid; it was preserved as "
                                   "learned.invalid.json and learning starts afresh.\n"));

    // A folder in the way is never deleted, so the damaged file stays untouched.
    QTemporaryDir home;
    writeFile(home.filePath(u"learned.json"_s), "{broken");
    QDir().mkpath(home.filePath(u"learned.invalid.json"_s));
    {
        Learner learner(home.path());
        learner.ingest(u"see Redis"_s);
        EXPECT_EQ(learner.learnedCount(), 1);
    }
    EXPECT_EQ(readFile(home.filePath(u"learned.json"_s)), "{broken");

    writeFile(home.filePath(u"learned.json"_s), good);
    Learner learner(home.path());
    EXPECT_EQ(learner.learnedTerms(), QStringList{u"Kafka"_s});
    EXPECT_EQ(learner.model().utterances, 4);
}

TEST(Learner, ClearingEmptiesTheModelLogsAndSavesTheEmptyModel) {
    QTemporaryDir home;
    const QString path = home.filePath(u"learned.json"_s);
    {
        Learner learner(home.path());
        learner.ingest(u"meet Kafka and Kafka"_s);
        ASSERT_EQ(learner.learnedCount(), 1);
        const auto announced = [] {
            Log::flush();
            return readFile(Paths::root() + u"/quovant.log"_s)
                .count("[INFO] Learned vocabulary cleared by the user.\n");
        };
        const qsizetype before = announced();
        learner.clear();
        EXPECT_EQ(learner.model(), Learner::Model{});
        EXPECT_EQ(learner.learnedTerms(), QStringList());
        EXPECT_EQ(announced(), before + 1);
    }
    EXPECT_EQ(Learner::parse(readFile(path)), Learner::Model{});
}

TEST(Learner, IngestingFromManyThreadsLosesNothing) {
    QTemporaryDir home;
    Learner learner(home.path());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&learner] {
            for (int i = 0; i < 500; ++i) {
                learner.ingest(u"ask Grafana about Prometheus"_s);
                learner.learnedTerms(5);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const Learner::Model model = learner.model();
    EXPECT_EQ(model.utterances, 2000);
    EXPECT_EQ(model.terms.value(u"prometheus"_s).count, 2000);
}

} // namespace
} // namespace quovant
