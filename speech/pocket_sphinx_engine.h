#pragma once

#include "core/ports/asr_engine.h"

#include <QFuture>
#include <QString>
#include <QStringList>

#include <memory>
#include <mutex>

namespace quovant {

// The built-in streaming recogniser: PocketSphinx with the English model that Debian ships.
// Audio is decoded on the engine's own worker thread while the user speaks, so finishing only
// waits for the tail. `append` is thread-safe and never waits for the decoder; everything else
// runs on the main thread. Destroying the engine stops its worker (an open utterance is dropped).
// Only utterances that hold speech give words (noise and silence give the empty transcript), and
// the decoder's cepstral mean normalisation is kept warm across utterances and runs in the data
// directory (an utterance that starts from the model's stock values is normalised with the mean
// of its own first seconds).
class PocketSphinxEngine final : public AsrEngine {
public:
    // The decoder's search settings; the defaults are the tuned ones.
    struct DecoderSettings {
        double languageWeight = 6.5;
        double bestPathLanguageWeight = 9.5;
        double beam = 1e-48;
        double wordBeam = 7e-29;
        bool forwardFlatPass = false;
        bool bestPathPass = true;
        // The share of the vocabulary model in the mix with the general one.
        double vocabularyWeight = 0.1;
        // How many n-best hypotheses are offered as alternatives.
        int alternatives = 10;

        bool operator==(const DecoderSettings&) const = default;
    };

    // `modelDirectory` holds the acoustic model folder "en-us", "en-us.lm.bin" and
    // "cmudict-en-us.dict". The normalisation is kept in `statePath` (nothing is kept when it is
    // empty); the one-argument form uses the installed model and the data directory.
    explicit PocketSphinxEngine(QString locale);
    PocketSphinxEngine(QString locale, QString modelDirectory, DecoderSettings settings,
                       QString statePath = {});
    ~PocketSphinxEngine() override;

    PocketSphinxEngine(const PocketSphinxEngine&) = delete;
    PocketSphinxEngine& operator=(const PocketSphinxEngine&) = delete;

    QString name() const override;
    bool isStreaming() const override { return true; }
    double requiredSampleRate() const override { return kSampleRate; }
    QString locale() const { return m_locale; }
    QString modelDirectory() const { return m_modelDirectory; }

    // Throws QuovantError: localeUnsupported for a non-English locale, speechModelUnavailable
    // when the model is missing or cannot be loaded. Runs once; later calls return at once.
    QCoro::Task<void> prepare() override;
    // Cancels an open utterance first. Prepares the engine if that has not happened yet. The
    // contextual strings also bias the recognition towards their words: when they differ from the
    // last utterance's, the decoder builds a search for them before it decodes this one.
    QCoro::Task<void> beginUtterance(QStringList contextualStrings) override;
    // Chunks at another rate than 16 kHz are resampled; a rate of 0 counts as 16 kHz.
    void append(const AudioChunk& chunk) override;
    // The empty string without an open utterance. Throws QuovantError (speechModelUnavailable)
    // when the decoder failed on this utterance.
    QCoro::Task<QString> finishUtterance() override;
    QCoro::Task<void> cancelUtterance() override;
    // The silences between the words of the last transcript, as the decoder aligned them.
    SpeechPauses lastPauses() const override;
    // Normalises the next utterance with the recording's own cepstral mean (for a whole file).
    void expectRecording(const AudioChunk& recording) override;
    // Starts the normalisation again from the model's stock values, as on a new machine (for
    // another microphone); the next utterance saves it.
    void resetNormalisation();

    // The installed model: $QUOVANT_POCKETSPHINX_MODEL, else the first standard location that
    // holds one, else the build's configured location.
    static QString defaultModelDirectory();
    static bool isSupportedLocale(const QString& identifier);
    // 32-bit float samples to 16-bit: clamped at -1, scaled by 32767, truncated toward zero;
    // 1.0 and above, and NaN, give 32767.
    static qint16 toPcm16(float sample);

    static constexpr double kSampleRate = 16000;

private:
    struct Outcome;
    struct Session;
    class Worker;

    std::shared_ptr<Session> takeSession();
    // Empty when the model is complete, else what is missing.
    QString missingModelFiles() const;

    const QString m_locale;
    const QString m_modelDirectory;
    const DecoderSettings m_settings;
    const QString m_statePath;
    const std::unique_ptr<Worker> m_worker;

    // Main thread only.
    QFuture<QString> m_loading;
    SpeechPauses m_lastPauses;
    // The terms of the search last asked for; the worker builds it only when they change.
    QStringList m_vocabulary;

    std::mutex m_lock;
    std::shared_ptr<Session> m_session;
};

} // namespace quovant
