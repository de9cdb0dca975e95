#include "core/quovant_error.h"
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
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtEndian>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace Qt::StringLiterals;
using namespace quovant;
using quovant::testing::LocalHttpServer;
using quovant::testing::readFile;
using quovant::testing::writeFile;

using quovant::testing::wordErrors;

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

struct Bounded {
    bool finished = false;
    int exitCode = -1;
    QStringList lines;
    long peakKiB = 0;
};

// One run of the program, stopped if it outlives `limit` so that a hang fails instead of stalling
// the suite; the peak memory is that child's own (wait4).
Bounded runBounded(const QStringList& arguments, std::chrono::seconds limit) {
    QTemporaryDir home;
    QFile output(home.filePath(u"stdout"_s));
    EXPECT_TRUE(output.open(QIODevice::WriteOnly));
    std::vector<QByteArray> strings{"/usr/bin/env",
                                    "QUOVANT_HOME=" + QFile::encodeName(home.path()),
                                    QByteArray(QUOVANT_BINARY)};
    for (const QString& argument : arguments) {
        strings.push_back(QFile::encodeName(argument));
    }
    std::vector<char*> argv;
    for (QByteArray& string : strings) {
        argv.push_back(string.data());
    }
    argv.push_back(nullptr);
    Bounded result;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(output.handle(), STDOUT_FILENO);
        ::execve(argv[0], argv.data(), environ);
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage {};
    QElapsedTimer clock;
    clock.start();
    while (!(result.finished = ::wait4(pid, &status, WNOHANG, &usage) == pid)) {
        if (clock.elapsed() > std::chrono::milliseconds(limit).count()) {
            ::kill(pid, SIGKILL);
            ::wait4(pid, &status, 0, &usage);
            break;
        }
        ::usleep(20'000);
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.peakKiB = usage.ru_maxrss;
    result.lines = QString::fromUtf8(readFile(output.fileName())).split(u'\n', Qt::SkipEmptyParts);
    return result;
}

void speak(const QString& voice, const QString& text, const QString& path) {
    ASSERT_TRUE(quovant::testing::speakWithFlite(voice, text, path)) << "flite did not run";
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

// One sentence spoken once per test run, shared by the tests below.
const QString& spokenSentence() {
    static QTemporaryDir dir;
    static const QString path = [] {
        const QString file = dir.filePath(u"sentence.wav"_s);
        speak(u"slt"_s, u"please send the report to the team by friday"_s, file);
        return file;
    }();
    return path;
}

QByteArray wavImage(int channels, int rate, int bits, const std::vector<qint16>& interleaved) {
    const auto dataSize = quint32(interleaved.size() * 2);
    QByteArray bytes;
    auto put32 = [&](quint32 v) { bytes.append(reinterpret_cast<const char*>(&v), 4); };
    auto put16 = [&](quint16 v) { bytes.append(reinterpret_cast<const char*>(&v), 2); };
    bytes.append("RIFF");
    put32(36 + dataSize);
    bytes.append("WAVEfmt ");
    put32(16);
    put16(1);
    put16(quint16(channels));
    put32(quint32(rate));
    put32(quint32(rate * channels * bits / 8));
    put16(quint16(channels * bits / 8));
    put16(quint16(bits));
    bytes.append("data");
    put32(dataSize);
    for (const qint16 sample : interleaved) {
        put16(quint16(sample));
    }
    return bytes;
}

std::vector<qint16> pcm16(const std::vector<float>& samples) {
    std::vector<qint16> out;
    for (const float s : samples) {
        out.push_back(qint16(std::lround(s * 32768.0F)));
    }
    return out;
}

// What a refused input may cost: the program's own size (about 26 MB here) and one file of the
// largest size read (112 MiB), with room. Reading /dev/zero, a 200 MB file or resampling an hour
// recorded at 1000 Hz (614 MB) would each exceed it.
constexpr long kRefusalPeakKiB = 160 * 1024;

TEST(TranscribeCommand, UnusableInputsEndWithOneLineStatusOneAndBoundedMemory) {
    QTemporaryDir dir;
    const auto convert = [](const QString& format) {
        return format + u" audio is not read directly; convert it to WAV first, e.g. sox <file> "
                        u"-r 16000 -c 1 out.wav, or ffmpeg -i <file> -ar 16000 -ac 1 out.wav"_s;
    };
    const auto file = [&dir](const QString& name, const QByteArray& bytes) {
        return [&dir, name, bytes] {
            writeFile(dir.filePath(name), bytes);
            return dir.filePath(name);
        };
    };
    // A long silent recording costs no disk: the samples are a hole in the file.
    const auto silence = [&dir](const QString& name, int rate, qint64 frames) {
        return [&dir, name, rate, frames] {
            QByteArray header = wavImage(1, rate, 16, {});
            qToLittleEndian<quint32>(quint32(36 + frames * 2), header.data() + 4);
            qToLittleEndian<quint32>(quint32(frames * 2), header.data() + 40);
            QFile wav(dir.filePath(name));
            EXPECT_TRUE(wav.open(QIODevice::WriteOnly) && wav.write(header) == 44 &&
                        wav.resize(44 + frames * 2));
            return wav.fileName();
        };
    };
    const std::vector<qint16> halfSecond(8000, 1000);
    const QString notRegular = u"; give the path of a WAV file"_s;
    struct Case {
        QString name;
        std::function<QString()> create;
        QString description;
    };
    const Case cases[] = {
        {u"missing"_s, [&dir] { return dir.filePath(u"no-such-recording.wav"_s); },
         u"No such file or directory"_s},
        {u"text"_s, file(u"text.wav"_s, "this is not audio at all, just some text in a file\n"),
         u"missing RIFF header"_s},
        {u"24-bit"_s, file(u"24-bit.wav"_s, wavImage(1, 16000, 24, halfSecond)),
         u"unsupported WAV: 24-bit samples (only 16-bit supported)"_s},
        {u"header only"_s, file(u"header-only.wav"_s, WavEncoder::encode({}, 16000)),
         u"file is too short to be a WAV"_s},
        {u"zero rate"_s, file(u"zero-rate.wav"_s, wavImage(1, 0, 16, halfSecond)),
         u"unsupported WAV: 0 Hz sample rate"_s},
        {u"flac"_s, file(u"song.flac"_s, QByteArray("fLaC\0\0\0\x22") + QByteArray(64, '\1')),
         convert(u"FLAC"_s)},
        {u"ogg"_s, file(u"note.ogg"_s, QByteArray("OggS\0\2") + QByteArray(64, '\1')),
         convert(u"Ogg"_s)},
        {u"id3"_s, file(u"talk.mp3"_s, QByteArray("ID3\4\0") + QByteArray(64, '\1')),
         convert(u"MP3"_s)},
        {u"mp3 frames"_s, file(u"raw.mp3"_s, QByteArray("\xFF\xFB\x90\x64") + QByteArray(64, '\1')),
         convert(u"MP3"_s)},
        {u"fifo without a writer"_s,
         [&dir] {
             const QString path = dir.filePath(u"pipe.wav"_s);
             EXPECT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
             return path;
         },
         u"not a regular file (a named pipe)"_s + notRegular},
        {u"endless device"_s, [] { return u"/dev/zero"_s; },
         u"not a regular file (a device)"_s + notRegular},
        {u"directory"_s, [&dir] { return dir.path(); }, u"Is a directory"_s},
        {u"sparse 200 MB"_s,
         [&dir] {
             QFile big(dir.filePath(u"big.wav"_s));
             EXPECT_TRUE(big.open(QIODevice::WriteOnly) && big.resize(200LL * 1000 * 1000));
             return big.fileName();
         },
         u"larger than 112 MiB, more than 10 minutes of 48 kHz stereo audio; shorten it or "
         u"convert it to 16 kHz mono first, e.g. sox <file> -r 16000 -c 1 out.wav, or ffmpeg -i "
         u"<file> -ar 16000 -ac 1 out.wav"_s},
        {u"8 MB at 1000 Hz"_s,
         silence(u"long.wav"_s, 1000, 4'000'000),
         u"the recording is 66.7 minutes long; at most 10 minutes are transcribed, so split it "
         u"first, e.g. sox <file> part.wav trim 0 10:00 : newfile : restart"_s},
        {u"6 minutes at 96 kHz"_s,
         silence(u"studio.wav"_s, 96000, 360 * 96000),
         u"the recording is 6.0 minutes long; at most 5 minutes at 96000 Hz are transcribed, so "
         u"split it first, e.g. sox <file> part.wav trim 0 5:00 : newfile : restart"_s},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        const QString path = c.create();
        const Bounded run = runBounded({u"transcribe"_s, path}, std::chrono::seconds(120));
        ASSERT_TRUE(run.finished) << "stopped after two minutes";
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.lines, QStringList{u"✗ Could not read "_s + path + u": "_s + c.description});
        EXPECT_LT(run.peakKiB, kRefusalPeakKiB);
        std::printf("  %-22s peak %ld KiB\n", qPrintable(c.name), run.peakKiB);
    }
}

TEST(TranscribeCommand, OtherRatesAndStereoAreBroughtToTheRecognisersRate) {
    QTemporaryDir dir;
    const auto mono = WavDecoder::decode(readFile(spokenSentence())).samples;

    // 48 kHz stereo: each sample held for three frames, a quieter copy on the right.
    std::vector<qint16> stereo;
    for (const qint16 s : pcm16(mono)) {
        for (int k = 0; k < 3; ++k) {
            stereo.push_back(s);
            stereo.push_back(qint16(s / 2));
        }
    }
    const QString high = dir.filePath(u"48k-stereo.wav"_s);
    writeFile(high, wavImage(2, 48000, 16, stereo));

    // 8 kHz: a voice recorded at that rate.
    const QString telephone = dir.filePath(u"8k.wav"_s);
    speak(u"kal"_s, u"the weather is cold and windy today"_s, telephone);
    ASSERT_EQ(WavDecoder::decode(readFile(telephone)).sampleRate, 8000);

    Invocation original({u"transcribe"_s, spokenSentence()});
    Invocation fromHigh({u"transcribe"_s, high});
    Invocation fromLow({u"transcribe"_s, telephone});
    runAll({&original, &fromHigh, &fromLow});
    const Report reference = parseReport(original.outcome(), spokenSentence(), kDefaultVocabulary);
    const Report highReport = parseReport(fromHigh.outcome(), high, kDefaultVocabulary);
    const Report lowReport = parseReport(fromLow.outcome(), telephone, kDefaultVocabulary);
    EXPECT_EQ(reference.raw, u"please send a report to the team by friday"_s);
    EXPECT_EQ(highReport.raw, reference.raw);
    EXPECT_LE(wordErrors(TranscriptGuard::words(u"the weather is cold and windy today"_s),
                         TranscriptGuard::words(lowReport.raw)),
              1)
        << lowReport.raw.toStdString();
}

// An Ollama server of our own shows exactly what reaches the formatter.
QByteArray ollamaConfig(const LocalHttpServer& server) {
    return u"{\"formatter\": \"ollama\", \"ollamaModel\": \"tiny:1b\", \"ollamaEndpoint\": \"%1\"}"_s
        .arg(server.url().toString())
        .toUtf8();
}

void scriptOllama(LocalHttpServer& server, const QByteArray& answer) {
    server.enqueue(LocalHttpServer::Reply::json(200, R"({"models":[{"name":"tiny:1b"}]})"));
    server.enqueue(LocalHttpServer::Reply::json(200, R"({"response":"ok"})"));
    server.enqueue(LocalHttpServer::Reply::json(200, answer));
}

int generationRequests(const LocalHttpServer& server) {
    int count = 0;
    for (const auto& request : server.requests()) {
        count += request.target.endsWith("api/generate") ? 1 : 0;
    }
    return count;
}

TEST(TranscribeCommand, AOneWordRecordingNeverReachesTheFormatter) {
    QTemporaryDir dir;
    const QString path = dir.filePath(u"hello.wav"_s);
    speak(u"slt"_s, u"hello"_s, path);
    LocalHttpServer server;
    scriptOllama(server, R"({"response":"I'm sorry, I cannot help with that."})");
    Invocation invocation({u"transcribe"_s, path}, ollamaConfig(server));
    writeFile(invocation.home() + u"/vocabulary.txt"_s, "# mine\nQuovant\n\nPocketSphinx\n");
    runAll({&invocation});

    const Report report =
        parseReport(invocation.outcome(), path, u"  biasing with 2 vocabulary terms"_s);
    EXPECT_EQ(report.raw, u"hello"_s);
    EXPECT_EQ(report.formatted, u"Hello."_s);
    EXPECT_EQ(report.verdict, u"skippedTooShort"_s);
    EXPECT_EQ(generationRequests(server), 1) << "only the warm-up";
}

TEST(TranscribeCommand, AGuardRejectionIsReportedWithTheProposalAndStillSucceeds) {
    LocalHttpServer server;
    // The formatter drops escape sequences itself; a direction override in what the model says
    // is shown, not obeyed.
    scriptOllama(server,
                 R"({"response":"I'm sorry, I cannot help with that.\u001b]0;owned\u0007\u202e"})");
    Invocation invocation({u"transcribe"_s, spokenSentence()}, ollamaConfig(server));
    writeFile(invocation.home() + u"/vocabulary.txt"_s, "# nothing yet\n");
    runAll({&invocation});

    const Report report = parseReport(invocation.outcome(), spokenSentence(), QString());
    EXPECT_EQ(report.verdict, u"rejectedRefusal"_s);
    EXPECT_EQ(report.formatted, u"Please send a report to the team by friday."_s);
    EXPECT_EQ(report.warning,
              (QStringList{u"  ⚠︎ guard overruled the model (rejectedRefusal); proposal was:"_s,
                           u"     \"I'm sorry, I cannot help with that.\\u202e\""_s}))
        << report.warning.join(u'\n').toStdString();
    ASSERT_EQ(generationRequests(server), 2);
    EXPECT_TRUE(server.requests().last().body.contains("please send a report to the team"));
}

TEST(TranscribeCommand, TheSettingsAndTheLocaleChooseWhatIsChecked) {
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
        closedPort = probe.serverPort();
    }
    const QString nobody = u"http://127.0.0.1:"_s + QString::number(closedPort);
    const QString header = u"▸ Input: "_s + spokenSentence();
    struct Case {
        const char* name;
        QStringList arguments;
        QString config;
        QString failure;
    };
    const Case cases[] = {
        {"a locale the recogniser lacks",
         {u"transcribe"_s, spokenSentence(), u"de-DE"_s},
         {},
         u"✗ ASR preparation failed: "_s +
             QuovantError::localeUnsupported(u"de-DE"_s).description()},
        {"damaged settings and a locale the recogniser lacks",
         {u"transcribe"_s, spokenSentence(), u"de-DE"_s},
         u"{\"formatter\": \"ollama\", "_s,
         u"✗ ASR preparation failed: "_s +
             QuovantError::localeUnsupported(u"de-DE"_s).description()},
        {"a whisper server that is not running",
         {u"transcribe"_s, spokenSentence()},
         u"{\"asr\": \"whisperServer\", \"whisperEndpoint\": \"%1\"}"_s.arg(nobody),
         u"✗ ASR preparation failed: "_s},
        {"an Ollama server that is not running",
         {u"transcribe"_s, spokenSentence()},
         u"{\"formatter\": \"ollama\", \"ollamaEndpoint\": \"%1\"}"_s.arg(nobody),
         u"✗ Formatter unavailable: unknown"_s},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Invocation invocation(c.arguments, c.config.toUtf8());
        runAll({&invocation});
        const Outcome outcome = invocation.outcome();
        // A check reads the settings and leaves them as they were, damaged or missing.
        const QDir home(invocation.home());
        EXPECT_EQ(home.exists(u"config.json"_s), !c.config.isEmpty());
        if (!c.config.isEmpty()) {
            EXPECT_EQ(readFile(home.filePath(u"config.json"_s)), c.config.toUtf8());
        }
        EXPECT_FALSE(home.exists(u"config.invalid.json"_s));
        EXPECT_EQ(outcome.exitCode, 1);
        ASSERT_EQ(outcome.lines.size(), 6);
        EXPECT_EQ(outcome.lines[0], header);
        EXPECT_EQ(outcome.lines.mid(2, 3), (QStringList{QString(), kDefaultVocabulary, QString()}));
        EXPECT_TRUE(outcome.lines[5].startsWith(c.failure)) << outcome.lines[5].toStdString();
    }
}

TEST(TranscribeCommand, WithoutAFormatterTheTranscriptShipsPunctuatedAsDictationWould) {
    Invocation invocation({u"transcribe"_s, spokenSentence()}, R"({"formatter": "none"})");
    runAll({&invocation});
    const Report report = parseReport(invocation.outcome(), spokenSentence(), kDefaultVocabulary);
    EXPECT_EQ(report.raw, u"please send a report to the team by friday"_s);
    EXPECT_EQ(report.formatted, u"Please send a report to the team by friday."_s);
    EXPECT_EQ(report.verdict, u"formatterDisabled"_s);
}

} // namespace
