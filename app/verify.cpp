#include "app/verify.h"

#include "core/platform_kit.h"
#include "core/quovant_error.h"
#include "formatting/formatting_context.h"
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

#include <optional>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

using namespace Qt::StringLiterals;

namespace quovant::Verify {
namespace {

// Below this the interpolated copy would be many times the file's size; no real recording is
// made at such a rate.
constexpr double kMinimumFileRate = 1000;
constexpr double kFallbackTargetRate = 16000;
constexpr qsizetype kLabelWidth = 11;

void printLine(const QString& line = {}) {
    std::fputs((line + u'\n').toUtf8().constData(), stdout);
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

WavDecoder::Decoded readRecording(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        throw std::runtime_error(file.errorString().toStdString());
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        throw std::runtime_error(file.errorString().toStdString());
    }
    if (const auto format = compressedFormat(bytes)) {
        throw std::runtime_error(
            (*format + u" audio is not read directly; convert it to WAV first, e.g. "
                       u"sox <file> -r 16000 -c 1 out.wav, or "
                       u"ffmpeg -i <file> -ar 16000 -ac 1 out.wav"_s)
                .toStdString());
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
    Config settings = Config::load(Paths::root() + u"/config.json"_s);
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
    if (TranscriptGuard::words(raw).size() >= guard.minWordsForLLM) {
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

std::vector<float> resample(const std::vector<float>& samples, double from, double to) {
    return AudioResampler::convert(samples, from, to);
}

} // namespace quovant::Verify
