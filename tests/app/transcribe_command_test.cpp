#include "formatting/transcript_guard.h"
#include "speech/wav_decoder.h"
#include "speech/wav_encoder.h"
#include "support/local_http_server.h"
#include "support/test_support.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <memory>

using namespace Qt::StringLiterals;
using namespace quovant;
using quovant::testing::LocalHttpServer;
using quovant::testing::readFile;
using quovant::testing::writeFile;

namespace {

struct Outcome {
    int exitCode = -1;
    QStringList lines;
    QString errors;
};

// One run of the real program, with a data directory of its own.
class Invocation {
public:
    explicit Invocation(QStringList arguments, const QByteArray& config = {})
        : m_arguments(std::move(arguments)) {
        if (!config.isEmpty()) {
            writeFile(m_home.filePath(u"config.json"_s), config);
        }
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"QUOVANT_HOME"_s, m_home.path());
        m_process.setProcessEnvironment(environment);
    }

    void start() { m_process.start(QStringLiteral(QUOVANT_BINARY), m_arguments); }
    bool finished() const { return m_process.state() == QProcess::NotRunning; }
    QString home() const { return m_home.path(); }

    Outcome outcome() {
        Outcome result;
        result.exitCode =
            m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
        result.lines = QString::fromUtf8(m_process.readAllStandardOutput()).split(u'\n');
        EXPECT_EQ(result.lines.takeLast(), QString()) << "the output ends with a line break";
        result.errors = QString::fromUtf8(m_process.readAllStandardError());
        return result;
    }

private:
    QTemporaryDir m_home;
    QStringList m_arguments;
    QProcess m_process;
};

// Runs the invocations two at a time (the machine's cores), serving events meanwhile so that an
// in-process HTTP server can answer them.
void runAll(std::vector<Invocation*> invocations) {
    std::deque<Invocation*> waiting(invocations.begin(), invocations.end());
    std::vector<Invocation*> running;
    QElapsedTimer clock;
    clock.start();
    while (!waiting.empty() || !running.empty()) {
        std::erase_if(running, [](Invocation* i) { return i->finished(); });
        while (running.size() < 2 && !waiting.empty()) {
            running.push_back(waiting.front());
            waiting.pop_front();
            running.back()->start();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
        ASSERT_LT(clock.elapsed(), 600'000) << "the program did not finish";
    }
}

Outcome transcribe(QStringList arguments, const QByteArray& config = {}) {
    Invocation invocation(std::move(arguments), config);
    runAll({&invocation});
    return invocation.outcome();
}

void speak(const QString& voice, const QString& text, const QString& path) {
    QProcess flite;
    flite.start(u"flite"_s, {u"-voice"_s, voice, u"-t"_s, text, u"-o"_s, path});
    ASSERT_TRUE(flite.waitForFinished(60000)) << "flite did not run; is it installed?";
    ASSERT_EQ(flite.exitCode(), 0);
}

const QStringList kVerdicts = {
    u"accepted"_s,        u"skippedTooShort"_s,     u"rejectedEmpty"_s,
    u"rejectedTooLong"_s, u"rejectedContentLoss"_s, u"rejectedInvention"_s,
    u"rejectedRefusal"_s, u"formatterFailed"_s,     u"formatterDisabled"_s,
};

struct Report {
    QString raw;
    QString formatted;
    QString verdict;
    QStringList warning;
};

// Checks every line of a complete report against its pattern and gives the values in it.
Report parseReport(const Outcome& outcome, const QString& path, const QString& vocabularyLine) {
    const QString separator(41, QChar(0x2500));
    Report report;
    const auto decoded = WavDecoder::decode(readFile(path));
    const QStringList& lines = outcome.lines;
    EXPECT_EQ(outcome.exitCode, 0) << outcome.errors.toStdString();
    qsizetype n = 0;
    auto next = [&]() -> QString { return n < lines.size() ? lines.at(n++) : u"<missing>"_s; };
    auto expectMatch = [&](const QString& pattern) -> QRegularExpressionMatch {
        const QString line = next();
        const auto match = QRegularExpression(u'^' + pattern + u'$').match(line);
        EXPECT_TRUE(match.hasMatch()) << "line " << n << ": " << line.toStdString()
                                      << "\n  does not match " << pattern.toStdString();
        return match;
    };

    EXPECT_EQ(next(), u"▸ Input: "_s + path);
    EXPECT_EQ(next(),
              u"  "_s +
                  QString::asprintf("%.1f", double(decoded.samples.size()) / decoded.sampleRate) +
                  u"s · "_s + QString::number(int(decoded.sampleRate)) + u" Hz · "_s +
                  QString::number(decoded.samples.size()) + u" samples"_s);
    EXPECT_EQ(next(), QString());
    if (!vocabularyLine.isEmpty()) {
        EXPECT_EQ(next(), vocabularyLine);
        EXPECT_EQ(next(), QString());
    }
    if (n < lines.size() && lines.at(n).startsWith(u"  ⚠︎"_s)) {
        report.warning = {next(), next()};
    }
    EXPECT_EQ(next(), separator);
    report.raw = expectMatch(u"raw ASR    : \"(.*)\""_s).captured(1);
    report.formatted = expectMatch(u"formatted  : \"(.*)\""_s).captured(1);
    report.verdict = expectMatch(u"verdict    : (\\w+)"_s).captured(1);
    EXPECT_TRUE(kVerdicts.contains(report.verdict)) << report.verdict.toStdString();
    EXPECT_EQ(next(), separator);
    const int asr = expectMatch(u"asr        : (\\d+) ms"_s).captured(1).toInt();
    const int format = expectMatch(u"format     : (\\d+) ms"_s).captured(1).toInt();
    const int total =
        expectMatch(u"total      : (\\d+) ms  \\(from end of audio, injection excluded\\)"_s)
            .captured(1)
            .toInt();
    EXPECT_EQ(total, asr + format);
    EXPECT_EQ(next(), QString());
    const bool modelTextShipped = report.verdict == u"accepted"_s ||
                                  report.verdict == u"skippedTooShort"_s ||
                                  report.verdict == u"formatterDisabled"_s;
    EXPECT_EQ(next(), modelTextShipped
                          ? u"✓ Pipeline ran end to end."_s
                          : u"✓ Pipeline ran; guard protected against a bad rewrite."_s);
    EXPECT_EQ(report.warning.isEmpty(), modelTextShipped);
    EXPECT_EQ(n, lines.size()) << "unexpected lines after the report";
    return report;
}

const QString kDefaultVocabulary = u"  biasing with 5 vocabulary terms"_s;

int wordErrors(const QStringList& reference, const QStringList& hypothesis) {
    std::vector<int> row(hypothesis.size() + 1);
    for (qsizetype j = 0; j <= hypothesis.size(); ++j)
        row[j] = int(j);
    for (qsizetype i = 1; i <= reference.size(); ++i) {
        int diagonal = row[0];
        row[0] = int(i);
        for (qsizetype j = 1; j <= hypothesis.size(); ++j) {
            const int above = row[j];
            row[j] = std::min(
                {row[j] + 1, row[j - 1] + 1, diagonal + (reference[i - 1] != hypothesis[j - 1])});
            diagonal = above;
        }
    }
    return row[hypothesis.size()];
}

struct Spoken {
    QString voice;
    QString text;
};

// Dictation of every kind in all four voices.
const std::vector<Spoken> kSentences = {
    {u"slt"_s, u"Please book a flight to Boston for next Tuesday."_s},
    {u"awb"_s, u"The printer on the second floor is out of paper again."_s},
    {u"rms"_s, u"Can you send me the slides from this morning's presentation?"_s},
    {u"kal16"_s, u"I will be working from home on Thursday."_s},
    {u"slt"_s, u"Our new office opens in the spring."_s},
    {u"awb"_s, u"The cat is sleeping on the warm window sill."_s},
    {u"rms"_s, u"Turn left at the next corner and park behind the bank."_s},
    {u"kal16"_s, u"Dinner will be ready in about twenty minutes."_s},
    {u"slt"_s, u"The library closes early on public holidays."_s},
    {u"awb"_s, u"Please update the contract before you sign it."_s},
    {u"rms"_s, u"We should plant more trees along the river."_s},
    {u"kal16"_s, u"The doctor asked me to come back in two weeks."_s},
    {u"slt"_s, u"Let us meet at the coffee shop near the station."_s},
    {u"awb"_s, u"My brother plays the piano every evening."_s},
    {u"rms"_s, u"The server restarted after the power failure last night."_s},
    {u"kal16"_s, u"She answered all of the questions correctly."_s},
    {u"slt"_s, u"Write down the address so you do not forget it."_s},
    {u"awb"_s, u"The price of fuel went up again this month."_s},
    {u"rms"_s, u"I need a new battery for my phone."_s},
    {u"kal16"_s, u"The children are building a castle in the sand."_s},
    {u"slt"_s, u"Check the logs and tell me what went wrong."_s},
    {u"awb"_s, u"We are going to the beach this weekend."_s},
    {u"rms"_s, u"He painted the fence white last summer."_s},
    {u"kal16"_s, u"Thank you for coming to the meeting today."_s},
};

// Word error rates measured on the set above (6.7 % for both), with a little room.
constexpr double kMaxRawErrorRate = 0.08;
constexpr double kMaxShippedErrorRate = 0.08;

TEST(TranscribeCommand, ReportsEverySentenceOfASpokenSetWithinTheErrorBound) {
    QTemporaryDir audio;
    std::vector<std::unique_ptr<Invocation>> invocations;
    std::vector<Invocation*> all;
    QStringList paths;
    for (std::size_t i = 0; i < kSentences.size(); ++i) {
        paths.append(audio.filePath(QString::number(i) + u".wav"_s));
        speak(kSentences[i].voice, kSentences[i].text, paths.back());
        invocations.push_back(
            std::make_unique<Invocation>(QStringList{u"transcribe"_s, paths.back()}));
        all.push_back(invocations.back().get());
    }
    runAll(all);

    int rawErrors = 0;
    int shippedErrors = 0;
    int referenceWords = 0;
    for (std::size_t i = 0; i < kSentences.size(); ++i) {
        SCOPED_TRACE(kSentences[i].text.toStdString());
        const Report report = parseReport(invocations[i]->outcome(), paths[i], kDefaultVocabulary);
        const QStringList reference = TranscriptGuard::words(kSentences[i].text);
        rawErrors += wordErrors(reference, TranscriptGuard::words(report.raw));
        shippedErrors += wordErrors(reference, TranscriptGuard::words(report.formatted));
        referenceWords += int(reference.size());
        EXPECT_EQ(report.verdict, u"accepted"_s);
        std::printf("  %-6s %s\n         raw: %s\n        sent: %s\n",
                    qPrintable(kSentences[i].voice), qPrintable(kSentences[i].text),
                    qPrintable(report.raw), qPrintable(report.formatted));
    }
    const double rawRate = double(rawErrors) / referenceWords;
    const double shippedRate = double(shippedErrors) / referenceWords;
    std::printf("  word error rate over %d words: raw %.3f, shipped %.3f\n", referenceWords,
                rawRate, shippedRate);
    EXPECT_LE(rawRate, kMaxRawErrorRate);
    EXPECT_LE(shippedRate, kMaxShippedErrorRate);
}

} // namespace
