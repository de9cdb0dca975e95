#include "app/verify.h"

#include "core/platform_kit.h"
#include "core/quovant_error.h"
#include "formatting/formatting_context.h"
#include "formatting/passthrough_formatter.h"
#include "formatting/transcript_guard.h"
#include "pipeline/engine_factory.h"
#include "settings/config.h"
#include "settings/paths.h"
#include "settings/retention_limits.h"
#include "settings/store.h"
#include "speech/audio_resampler.h"
#include "speech/wav_decoder.h"

#include <QElapsedTimer>
#include <QFile>
#include <QtEndian>

#include <optional>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace quovant::Verify {
namespace {

// Below this the interpolated copy would be many times the file's size; no real recording is
// made at such a rate.
constexpr double kMinimumFileRate = 1000;
constexpr double kFallbackTargetRate = 16000;
constexpr qsizetype kLabelWidth = 11;

// Twice the longest recording the application makes (5 minutes). The limit bounds memory too:
// every recording is brought to the recogniser's rate, so a long file at a low rate would grow
// many times over.
constexpr double kMaximumSeconds = 600;
// Above this rate the limit shrinks, so that the decoded samples never exceed 10 minutes' worth
// at 48 kHz (115 MB of floats).
constexpr double kMaximumFullLengthRate = 48000;
// What those 10 minutes take at 48 kHz, stereo, 16-bit (the richest WAV that is decoded), with
// room for the header and other chunks.
constexpr qint64 kMaximumFileBytes = 112 * 1024 * 1024;

void printLine(const QString& line = {}) {
    std::fputs((printable(line) + u'\n').toUtf8().constData(), stdout);
    std::fflush(stdout);
}

QString separator() {
    return QString(41, QChar(0x2500));
}

QString labelled(const QString& label, const QString& value) {
    return label.leftJustified(kLabelWidth) + u": "_s + value;
}

QString quoted(const QString& text) {
    return u'"' + text + u'"';
}

// The user-facing text of whatever is being handled; call only inside a catch block.
QString describeCurrentException() {
    try {
        throw;
    } catch (const QuovantError& error) {
        return error.description();
    } catch (const WavDecoder::DecodeError& error) {
        return error.description();
    } catch (const std::exception& error) {
        return QString::fromUtf8(error.what());
    } catch (...) {
        return u"unknown error"_s;
    }
}

// The compressed formats people have, recognised by their first bytes; they are not decoded here,
// so the message says how to convert them.
std::optional<QString> compressedFormat(const QByteArray& bytes) {
    if (bytes.startsWith("fLaC")) {
        return u"FLAC"_s;
    }
    if (bytes.startsWith("OggS")) {
        return u"Ogg"_s;
    }
    const bool frameSync = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                           (static_cast<unsigned char>(bytes[1]) & 0xE0) == 0xE0;
    if (bytes.startsWith("ID3") || frameSync) {
        return u"MP3"_s;
    }
    return std::nullopt;
}

[[noreturn]] void fail(const QString& description) {
    throw std::runtime_error(description.toStdString());
}

const char* kConvertHint = "sox <file> -r 16000 -c 1 out.wav, or "
                           "ffmpeg -i <file> -ar 16000 -ac 1 out.wav";

class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// The whole file, only when it is a regular one of bounded size. Opening never waits (a FIFO
// without a writer would otherwise block), and the type is judged on what was opened.
QByteArray readRegularFile(const QString& path) {
    const Descriptor file(::open(QFile::encodeName(path).constData(),
                                 O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (file.get() < 0) {
        fail(QString::fromLocal8Bit(std::strerror(errno)));
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) {
        fail(QString::fromLocal8Bit(std::strerror(errno)));
    }
    if (S_ISDIR(info.st_mode)) {
        fail(QString::fromLocal8Bit(std::strerror(EISDIR)));
    }
    if (!S_ISREG(info.st_mode)) {
        const QString kind = S_ISFIFO(info.st_mode)   ? u"a named pipe"_s
                             : S_ISSOCK(info.st_mode) ? u"a socket"_s
                             : S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode)
                                 ? u"a device"_s
                                 : u"a special file"_s;
        fail(u"not a regular file ("_s + kind + u"); give the path of a WAV file"_s);
    }
    const auto tooLarge = [] {
        fail(u"larger than "_s + QString::number(kMaximumFileBytes / (1024 * 1024)) +
             u" MiB, more than 10 minutes of 48 kHz stereo audio; shorten it or convert it to "
             u"16 kHz mono first, e.g. "_s +
             QString::fromLatin1(kConvertHint));
    };
    if (info.st_size > kMaximumFileBytes) {
        tooLarge();
    }
    // The size can change while reading; one byte past the limit is enough to tell.
    QByteArray bytes(qsizetype(info.st_size) + 1, Qt::Uninitialized);
    qsizetype filled = 0;
    while (filled < bytes.size()) {
        const ssize_t got =
            ::read(file.get(), bytes.data() + filled, std::size_t(bytes.size() - filled));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            fail(QString::fromLocal8Bit(std::strerror(errno)));
        }
        if (got == 0) {
            break;
        }
        filled += got;
        if (filled == bytes.size() && filled <= kMaximumFileBytes) {
            bytes.resize(std::min<qsizetype>(filled * 2, kMaximumFileBytes + 1));
        }
    }
    if (filled > kMaximumFileBytes) {
        tooLarge();
    }
    bytes.truncate(filled);
    return bytes;
}

struct Declared {
    double seconds = 0;
    double rate = 0;
};

// The recording's length as its header declares it, so that an over-long one is refused before
// its samples are decoded. Absent when the header is not one the decoder takes; the decoder then
// says why.
std::optional<Declared> declaredLength(const QByteArray& bytes) {
    if (bytes.size() < 12 || !bytes.startsWith("RIFF") || bytes.mid(8, 4) != "WAVE") {
        return std::nullopt;
    }
    const auto* data = reinterpret_cast<const uchar*>(bytes.constData());
    qint64 frameBytes = 0;
    double rate = 0;
    for (qint64 at = 12; at + 8 <= bytes.size();) {
        const QByteArray id = bytes.mid(at, 4);
        const qint64 size = qFromLittleEndian<quint32>(data + at + 4);
        const qint64 body = at + 8;
        const qint64 available = std::min<qint64>(size, bytes.size() - body);
        if (id == "fmt " && available >= 16) {
            const int channels = qFromLittleEndian<quint16>(data + body + 2);
            rate = qFromLittleEndian<quint32>(data + body + 4);
            const int bits = qFromLittleEndian<quint16>(data + body + 14);
            frameBytes = qint64(channels) * ((bits + 7) / 8);
        } else if (id == "data") {
            if (frameBytes <= 0 || !(rate > 0)) {
                return std::nullopt;
            }
            return Declared{double(available / frameBytes) / rate, rate};
        }
        at = body + size + (size & 1);
    }
    return std::nullopt;
}

WavDecoder::Decoded readRecording(const QString& path) {
    const QByteArray bytes = readRegularFile(path);
    if (const auto format = compressedFormat(bytes)) {
        fail(*format + u" audio is not read directly; convert it to WAV first, e.g. "_s +
             QString::fromLatin1(kConvertHint));
    }
    if (const auto declared = declaredLength(bytes)) {
        const double limit =
            kMaximumSeconds * std::min(1.0, kMaximumFullLengthRate / declared->rate);
        if (declared->seconds > limit) {
            const int whole = int(limit);
            const QString clock = QString::asprintf("%d:%02d", whole / 60, whole % 60);
            fail(u"the recording is "_s + QString::asprintf("%.1f", declared->seconds / 60) +
                 u" minutes long; at most "_s +
                 (limit == kMaximumSeconds ? u"10 minutes"_s
                                           : QString::number(limit / 60, 'g', 3) +
                                                 u" minutes at "_s +
                                                 QString::number(qint64(declared->rate)) +
                                                 u" Hz"_s) +
                 u" are transcribed, so split it first, e.g. sox <file> part.wav trim 0 "_s +
                 clock + u" : newfile : restart"_s);
        }
    }
    WavDecoder::Decoded decoded = WavDecoder::decode(bytes);
    if (!(decoded.sampleRate >= kMinimumFileRate)) {
        throw WavDecoder::DecodeError::unsupported(QString::number(qint64(decoded.sampleRate)) +
                                                   u" Hz sample rate"_s);
    }
    return decoded;
}

bool shipsModelText(TranscriptGuard::Verdict verdict) {
    using Verdict = TranscriptGuard::Verdict;
    return verdict == Verdict::accepted || verdict == Verdict::skippedTooShort ||
           verdict == Verdict::formatterDisabled;
}

QCoro::Task<int> transcribe(QString wavPath, QString locale) {
    WavDecoder::Decoded input;
    try {
        input = readRecording(wavPath);
    } catch (...) {
        printLine(u"✗ Could not read "_s + wavPath + u": "_s + describeCurrentException());
        co_return 1;
    }
    const auto sampleCount = qint64(input.samples.size());
    printLine(u"▸ Input: "_s + wavPath);
    printLine(u"  "_s + QString::asprintf("%.1f", double(sampleCount) / input.sampleRate) +
              u"s · "_s + QString::number(qint64(input.sampleRate)) + u" Hz · "_s +
              QString::number(sampleCount) + u" samples"_s);
    printLine();

    // The recogniser and formatter the user dictates with; the guard keeps its stock settings.
    // A check reads the settings but never repairs or creates them.
    Config settings = Config::read(Paths::root() + u"/config.json"_s);
    settings.locale = locale;
    PlatformKit platform;
    EngineFactory::installNativeEngines(platform);
    const std::shared_ptr<AsrEngine> engine = EngineFactory::makeAsr(settings, platform);
    const std::shared_ptr<TextFormatter> formatter =
        EngineFactory::makeFormatter(settings, platform);

    const Config defaults;
    TranscriptGuard guard;
    guard.minContentRetention = defaults.guardMinContentRetention;
    guard.maxLengthRatio = defaults.guardMaxLengthRatio;
    guard.minWordsForLLM = defaults.guardMinWordsForLLM;

    const Store store(Paths::root(),
                      RetentionLimits{2000, 8 * 1024 * 1024, 100, 256 * 1024 * 1024});
    store.ensureVocabularyFile();
    const QStringList vocabulary = store.vocabulary();
    if (!vocabulary.isEmpty()) {
        printLine(u"  biasing with "_s + QString::number(vocabulary.size()) +
                  u" vocabulary terms"_s);
        printLine();
    }

    try {
        co_await engine->prepare();
    } catch (...) {
        printLine(u"✗ ASR preparation failed: "_s + describeCurrentException());
        co_return 1;
    }

    co_await formatter->prepare();
    if (!formatter->isAvailable()) {
        printLine(u"✗ Formatter unavailable: unknown"_s);
        co_return 1;
    }

    const double engineRate = engine->requiredSampleRate();
    const double targetRate = engineRate > 0 ? engineRate : kFallbackTargetRate;
    if (input.sampleRate != targetRate) {
        input.samples = resample(input.samples, input.sampleRate, targetRate);
    }

    engine->expectRecording({input.samples, targetRate});
    QElapsedTimer asrClock;
    asrClock.start();
    try {
        co_await engine->beginUtterance(vocabulary);
    } catch (...) {
        printLine(u"✗ beginUtterance failed: "_s + describeCurrentException());
        co_return 1;
    }

    const auto chunkLength = std::max<std::size_t>(1, std::size_t(targetRate / 10));
    for (std::size_t start = 0; start < input.samples.size(); start += chunkLength) {
        const std::size_t end = std::min(input.samples.size(), start + chunkLength);
        AudioChunk chunk;
        chunk.samples.assign(input.samples.begin() + qsizetype(start),
                             input.samples.begin() + qsizetype(end));
        chunk.sampleRate = targetRate;
        engine->append(chunk);
    }

    QString raw;
    try {
        raw = co_await engine->finishUtterance();
    } catch (...) {
        printLine(u"✗ finishUtterance failed: "_s + describeCurrentException());
        co_return 1;
    }
    const qint64 asrMilliseconds = asrClock.elapsed();
    QElapsedTimer formatClock;
    formatClock.start();

    TranscriptGuard::Decision decision;
    if (dynamic_cast<const PassthroughFormatter*>(formatter.get())) {
        // As dictation ships it without a model.
        decision = {TranscriptGuard::lightlyPunctuate(raw),
                    TranscriptGuard::Verdict::formatterDisabled};
    } else if (TranscriptGuard::words(raw).size() >= guard.minWordsForLLM) {
        std::optional<QString> proposal;
        // No application, vocabulary or history; only where the speaker paused.
        FormattingContext context;
        context.pauses = engine->lastPauses();
        try {
            proposal = co_await formatter->format(raw, context);
        } catch (...) {
            // A failed formatter is not a failed check: the transcript still ships, punctuated.
        }
        if (proposal) {
            decision = guard.evaluate(raw, *proposal);
            if (!shipsModelText(decision.verdict)) {
                printLine(u"  ⚠︎ guard overruled the model ("_s +
                          TranscriptGuard::rawValue(decision.verdict) + u"); proposal was:"_s);
                printLine(u"     "_s + quoted(*proposal));
            }
        } else {
            decision = {TranscriptGuard::lightlyPunctuate(raw),
                        TranscriptGuard::Verdict::formatterFailed};
        }
    } else {
        decision = {TranscriptGuard::lightlyPunctuate(raw),
                    TranscriptGuard::Verdict::skippedTooShort};
    }
    const qint64 formatMilliseconds = formatClock.elapsed();

    printLine(separator());
    printLine(labelled(u"raw ASR"_s, quoted(raw)));
    printLine(labelled(u"formatted"_s, quoted(decision.text)));
    printLine(labelled(u"verdict"_s, TranscriptGuard::rawValue(decision.verdict)));
    printLine(separator());
    printLine(labelled(u"asr"_s, QString::number(asrMilliseconds) + u" ms"_s));
    printLine(labelled(u"format"_s, QString::number(formatMilliseconds) + u" ms"_s));
    printLine(labelled(u"total"_s, QString::number(asrMilliseconds + formatMilliseconds) +
                                       u" ms  (from end of audio, injection excluded)"_s));
    printLine();
    printLine(shipsModelText(decision.verdict)
                  ? u"✓ Pipeline ran end to end."_s
                  : u"✓ Pipeline ran; guard protected against a bad rewrite."_s);
    co_return 0;
}

} // namespace

QCoro::Task<int> run(QString wavPath, QString locale) {
    try {
        const int status = co_await transcribe(wavPath, locale);
        co_return status;
    } catch (...) {
        // Nothing above is expected to throw; should something (memory, a settings file) fail
        // anyway, the command still ends with one line and a failure status.
        printLine(u"✗ transcribe failed: "_s + describeCurrentException());
        co_return 1;
    }
}

QString printable(const QString& text) {
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        const bool c0 = (u < 0x20 && u != u'\n' && u != u'\t') || u == 0x7F;
        const bool c1 = u >= 0x80 && u <= 0x9F;
        const bool bidi = (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069);
        if (c0) {
            shown += u"\\x"_s + QString::number(u, 16).rightJustified(2, u'0');
        } else if (c1 || bidi) {
            shown += u"\\u"_s + QString::number(u, 16).rightJustified(4, u'0');
        } else {
            shown += c;
        }
    }
    return shown;
}

std::vector<float> resample(const std::vector<float>& samples, double from, double to) {
    return AudioResampler::convert(samples, from, to);
}

} // namespace quovant::Verify
