#include "speech/pocket_sphinx_engine.h"

#include "core/quovant_error.h"
#include "settings/log.h"
#include "speech/cepstral_mean_state.h"
#include "speech/contextual_alternative_selector.h"
#include "speech/pronunciations.h"
#include "speech/speech_presence.h"
#include "speech/vocabulary_language_model.h"

#include <QCoroFuture>
#include <QDir>
#include <QFileInfo>
#include <QPromise>
#include <QTemporaryFile>

#include <pocketsphinx.h>
#include <sphinxbase/ckd_alloc.h>
#include <sphinxbase/err.h>
#include <sphinxbase/fe.h>
#include <sphinxbase/feat.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

const QString kAcousticModel = u"en-us"_s;
const QString kLanguageModel = u"en-us.lm.bin"_s;
const QString kDictionary = u"cmudict-en-us.dict"_s;
const QStringList kAcousticFiles = {u"mdef"_s,       u"means"_s,     u"variances"_s,
                                    u"sendump"_s,    u"noisedict"_s, u"transition_matrices"_s,
                                    u"feat.params"_s};
const QString kModelPackage = u"pocketsphinx-en-us"_s;
// The one language-model search the decoder holds: the general model, with the vocabulary
// mixed in when there is one.
constexpr const char* kSearch = "quovant";
// The phone-loop search the decoder keeps beside it; it knows no words.
constexpr const char* kPhoneLoopSearch = "_default_pl";
constexpr std::chrono::milliseconds kGuessTimeout{5000};
// How much of a first utterance is held back to measure its own cepstral mean: 2 s.
constexpr std::size_t kHeldSamples = 32000;

bool isModelComplete(const QString& directory) {
    const QDir dir(directory);
    if (!QFileInfo(dir.filePath(kLanguageModel)).isFile() ||
        !QFileInfo(dir.filePath(kDictionary)).isFile())
        return false;
    for (const QString& file : kAcousticFiles)
        if (!QFileInfo(dir.filePath(kAcousticModel + u'/' + file)).isFile())
            return false;
    return true;
}

// Decoder output without fillers ("<sil>", "[NOISE]") and pronunciation variant marks ("(2)").
QString cleanHypothesis(const char* text) {
    if (!text)
        return {};
    QStringList words;
    for (QString word : QString::fromUtf8(text).split(u' ', Qt::SkipEmptyParts)) {
        if (word.startsWith(u'<') || word.startsWith(u'[') || word.startsWith(u"++"_s))
            continue;
        if (const qsizetype open = word.indexOf(u'('); open > 0 && word.endsWith(u')'))
            word.truncate(open);
        words.append(word);
    }
    return words.join(u' ');
}

bool isFiller(const char* word) {
    return !word || word[0] == '<' || word[0] == '[' || (word[0] == '+' && word[1] == '+');
}


// Where each decoded frame came from: after each piece of audio, how many frames the decoder had
// searched and how many samples it had been given. Its voice-activity filter drops long
// silences, so frames and samples drift apart.
class FrameClock {
public:
    void fed(int frames, std::int64_t samples) { m_marks.push_back({frames, samples}); }

    // The sample at which `frame` (counted from the utterance's first) began.
    std::int64_t sampleOf(int frame) const {
        for (const auto& [frames, samples] : m_marks)
            if (frames > frame)
                return samples - std::int64_t(frames - frame) * kSamplesPerFrame;
        if (m_marks.empty())
            return std::int64_t(frame) * kSamplesPerFrame;
        const auto& [frames, samples] = m_marks.back();
        return samples - std::int64_t(frames - frame) * kSamplesPerFrame;
    }

    static constexpr int kSamplesPerFrame = 160; // 10 ms at 16 kHz

private:
    std::vector<std::pair<int, std::int64_t>> m_marks;
};

// The pauses between the words of the best hypothesis, measured in the audio around each word
// boundary the decoder found (it tends to fold a pause into the word before it). Nothing when
// its words cannot be matched one to one with `words`.
SpeechPauses pausesOf(ps_decoder_t* decoder, const QString& words, const FrameClock& clock,
                      const SpeechPresence& presence) {
    std::vector<std::pair<int, int>> spans;
    std::optional<int> base;
    for (ps_seg_t* segment = ps_seg_iter(decoder); segment; segment = ps_seg_next(segment)) {
        int start = 0;
        int end = 0;
        ps_seg_frames(segment, &start, &end);
        if (!base)
            base = start;
        if (!isFiller(ps_seg_word(segment)))
            spans.push_back({start - *base, end - *base});
    }
    if (qsizetype(spans.size()) != words.count(u' ') + (words.isEmpty() ? 0 : 1))
        return {};
    // From 400 ms before the next word's start (but not before the middle of the word before)
    // to 100 ms into it.
    constexpr int kBefore = 40;
    constexpr int kAfter = 10;
    SpeechPauses pauses;
    for (std::size_t k = 1; k < spans.size(); ++k) {
        const int boundary = spans[k].first;
        const int from = std::max(boundary - kBefore, (spans[k - 1].first + spans[k - 1].second) / 2);
        const int to = std::min(boundary + kAfter, (spans[k].first + spans[k].second) / 2);
        const int milliseconds =
            presence.longestPause(clock.sampleOf(from), clock.sampleOf(to));
        if (milliseconds > 0)
            pauses.append({qsizetype(k), milliseconds});
    }
    return pauses;
}

// Linear interpolation to 16 kHz that carries its phase across chunks, so a session at the wrong
// rate still reaches the decoder intact.
class Resampler {
public:
    std::vector<float> process(const std::vector<float>& input, double rate) {
        if (rate != m_rate) {
            m_rate = rate;
            m_position = 0;
            m_previous = 0;
        }
        const double step = rate / PocketSphinxEngine::kSampleRate;
        std::vector<float> output;
        output.reserve(static_cast<std::size_t>(input.size() / step) + 2);
        const auto sampleAt = [&](std::ptrdiff_t index) {
            return index < 0 ? m_previous : input[static_cast<std::size_t>(index)];
        };
        const auto count = static_cast<std::ptrdiff_t>(input.size());
        while (true) {
            const auto index = static_cast<std::ptrdiff_t>(std::floor(m_position));
            if (index + 1 >= count)
                break;
            const double fraction = m_position - static_cast<double>(index);
            output.push_back(static_cast<float>(sampleAt(index) * (1.0 - fraction) +
                                                sampleAt(index + 1) * fraction));
            m_position += step;
        }
        m_position -= static_cast<double>(count);
        m_previous = input.back();
        return output;
    }

private:
    double m_rate = 0;
    double m_position = 0; // of the next output sample; -1 is the previous chunk's last sample
    float m_previous = 0;
};

} // namespace

struct PocketSphinxEngine::Outcome {
    QString primary;
    QStringList alternatives;
    SpeechPauses pauses;
    QString failure;
};

struct PocketSphinxEngine::Session {
    explicit Session(QStringList strings) : contextualStrings(std::move(strings)) {
        promise.start();
        result = promise.future();
    }
    ~Session() { settle({}); }

    // Worker thread only (or the last owner).
    void settle(Outcome outcome) {
        if (settled)
            return;
        settled = true;
        promise.addResult(std::move(outcome));
        promise.finish();
    }

    const QStringList contextualStrings;
    QFuture<Outcome> result;
    std::atomic<bool> cancelled{false};

    // Worker thread only.
    QPromise<Outcome> promise;
    bool settled = false;
    bool started = false;
    QString failure;
    Resampler resampler;
    SpeechPresence presence;
    FrameClock clock;
    std::int64_t samplesFed = 0;
    // While the normalisation holds the model's stock values, the first seconds wait here until
    // their own mean is known.
    bool holding = false;
    std::vector<int16> held;
};

// Owns the decoder and the thread that feeds it; commands run strictly in the order posted.
class PocketSphinxEngine::Worker {
public:
    struct Command {
        enum class Kind { load, prime, reset, vocabulary, begin, audio, end, cancel, stop };
        Kind kind;
        std::shared_ptr<Session> session;
        std::vector<float> samples;
        double sampleRate = 0;
        QStringList terms;
    };

    Worker() : m_thread([this] { run(); }) {}

    ~Worker() {
        post({Command::Kind::stop, nullptr});
        m_thread.join();
    }

    // Gives the failure text, empty on success.
    QFuture<QString> load(QString modelDirectory, DecoderSettings settings, QString statePath) {
        {
            std::lock_guard lock(m_mutex);
            m_modelDirectory = std::move(modelDirectory);
            m_settings = settings;
            m_statePath = std::move(statePath);
            m_loaded = QPromise<QString>();
            m_loaded.start();
        }
        QFuture<QString> future = [&] {
            std::lock_guard lock(m_mutex);
            return m_loaded.future();
        }();
        post({Command::Kind::load, nullptr});
        return future;
    }

    void post(Command command) {
        {
            std::lock_guard lock(m_mutex);
            m_queue.push_back(std::move(command));
        }
        m_wake.notify_one();
    }

private:
    void run() {
        while (true) {
            Command command;
            {
                std::unique_lock lock(m_mutex);
                m_wake.wait(lock, [this] { return !m_queue.empty(); });
                command = std::move(m_queue.front());
                m_queue.pop_front();
            }
            switch (command.kind) {
            case Command::Kind::load:
                loadDecoder();
                break;
            case Command::Kind::prime:
                prime(command.samples, command.sampleRate);
                break;
            case Command::Kind::reset:
                if (m_decoder && !m_current) {
                    restoreStockNormalisation();
                    m_stock = true;
                }
                break;
            case Command::Kind::vocabulary:
                installVocabulary(command.terms);
                break;
            case Command::Kind::begin:
                begin(command.session);
                break;
            case Command::Kind::audio:
                feed(*command.session, command.samples, command.sampleRate);
                break;
            case Command::Kind::end:
                end(command.session);
                break;
            case Command::Kind::cancel:
                abandon(command.session);
                break;
            case Command::Kind::stop:
                abandon(m_current);
                if (m_decoder)
                    ps_free(m_decoder);
                if (m_general)
                    ngram_model_free(m_general);
                return;
            }
        }
    }

    void loadDecoder() {
        QString directory;
        QString statePath;
        {
            std::lock_guard lock(m_mutex);
            directory = m_modelDirectory;
            statePath = m_statePath;
        }
        if (!m_decoder) {
            // The library logs every step to standard error by default.
            err_set_logfp(nullptr);
            const QDir dir(directory);
            const std::string hmm = dir.filePath(kAcousticModel).toStdString();
            const std::string lm = dir.filePath(kLanguageModel).toStdString();
            const std::string dict = dir.filePath(kDictionary).toStdString();
            const QByteArray lw = QByteArray::number(m_settings.languageWeight, 'g', 10);
            const QByteArray bestPathLw =
                QByteArray::number(m_settings.bestPathLanguageWeight, 'g', 10);
            const QByteArray beam = QByteArray::number(m_settings.beam, 'g', 10);
            const QByteArray wordBeam = QByteArray::number(m_settings.wordBeam, 'g', 10);
            const char* arguments[] = {
                "quovant", "-hmm", hmm.c_str(), "-dict", dict.c_str(),
                // Mean normalisation that adapts while streaming.
                "-cmn", "live", "-logfn", "/dev/null", "-lw", lw.constData(), "-bestpathlw",
                bestPathLw.constData(), "-beam", beam.constData(), "-wbeam", wordBeam.constData(),
                "-fwdflat", m_settings.forwardFlatPass ? "yes" : "no", "-bestpath",
                m_settings.bestPathPass ? "yes" : "no"};
            cmd_ln_t* config =
                cmd_ln_parse_r(nullptr, ps_args(), static_cast<int>(std::size(arguments)),
                               const_cast<char**>(arguments), FALSE);
            if (config) {
                m_decoder = ps_init(config);
                cmd_ln_free_r(config);
            }
            // The general model is loaded apart from the decoder, so that a search mixing the
            // vocabulary into it can be built without reading it again.
            if (m_decoder) {
                m_general = ngram_model_read(ps_get_config(m_decoder), lm.c_str(), NGRAM_AUTO,
                                             ps_get_logmath(m_decoder));
                if (!m_general || !installSearch(ngram_model_retain(m_general))) {
                    ps_free(m_decoder);
                    m_decoder = nullptr;
                }
            }
            if (m_decoder) {
                m_stockMean = cepstralMean();
                const cmn_t* normaliser = cepstralNormaliser();
                m_stockSum.assign(normaliser->sum, normaliser->sum + cepstralLength());
                m_stockFrames = normaliser->nframe;
            }
            if (m_decoder && !statePath.isEmpty()) {
                if (const auto saved = CepstralMeanState::load(statePath, cepstralLength())) {
                    setCepstralMean(*saved);
                    m_stock = false;
                }
            }
        }
        std::lock_guard lock(m_mutex);
        m_loaded.addResult(m_decoder ? QString()
                                     : u"PocketSphinx could not load the model in "_s + directory);
        m_loaded.finish();
    }

    QString statePath() {
        std::lock_guard lock(m_mutex);
        return m_statePath;
    }

    cmn_t* cepstralNormaliser() const {
        feat_t* features = m_decoder ? ps_get_feat(m_decoder) : nullptr;
        return features ? features->cmn_struct : nullptr;
    }

    std::size_t cepstralLength() const {
        const cmn_t* normaliser = cepstralNormaliser();
        return normaliser && normaliser->veclen > 0 ? std::size_t(normaliser->veclen) : 0;
    }

    std::vector<float> cepstralMean() const {
        std::vector<mfcc_t> mean(cepstralLength());
        if (!mean.empty())
            cmn_live_get(cepstralNormaliser(), mean.data());
        return {mean.begin(), mean.end()};
    }

    void setCepstralMean(const std::vector<float>& mean) {
        if (mean.size() != cepstralLength() || mean.empty())
            return;
        const std::vector<mfcc_t> values(mean.begin(), mean.end());
        cmn_live_set(cepstralNormaliser(), values.data());
    }

    // As a freshly loaded decoder: its first estimate then comes from the speech alone, where a
    // mean set from outside is blended with it.
    void restoreStockNormalisation() {
        setCepstralMean(m_stockMean);
        cmn_t* normaliser = cepstralNormaliser();
        if (!normaliser || m_stockSum.size() != cepstralLength())
            return;
        std::copy(m_stockSum.begin(), m_stockSum.end(), normaliser->sum);
        normaliser->nframe = m_stockFrames;
    }

    // A whole recording is known before it is decoded: normalise with its own cepstral mean,
    // measured on the frames the decoder's voice-activity filter keeps, as the live estimate is.
    void prime(const std::vector<float>& samples, double rate) {
        if (!m_decoder || m_current || samples.empty())
            return;
        Resampler resampler;
        const bool nominal = std::abs(rate - PocketSphinxEngine::kSampleRate) < 0.5;
        const std::vector<float> audio = nominal ? samples : resampler.process(samples, rate);
        std::vector<int16> pcm(audio.size());
        for (std::size_t i = 0; i < audio.size(); ++i)
            pcm[i] = PocketSphinxEngine::toPcm16(audio[i]);
        if (const auto mean = ownMean(pcm)) {
            setCepstralMean(*mean);
            m_stock = false;
        }
    }

    // The cepstral mean of `pcm` (16 kHz), from a separate front end built like the decoder's;
    // nothing when it holds under half a second of speech, which says too little of the channel.
    std::optional<std::vector<float>> ownMean(const std::vector<int16>& pcm) const {
        fe_t* frontEnd = fe_init_auto_r(ps_get_config(m_decoder));
        if (!frontEnd)
            return std::nullopt;
        const int length = fe_get_output_size(frontEnd);
        if (length <= 0 || std::size_t(length) != cepstralLength()) {
            fe_free(frontEnd);
            return std::nullopt;
        }
        constexpr int kCapacity = 256;
        std::vector<mfcc_t> storage(std::size_t(kCapacity * length));
        std::vector<mfcc_t*> rows(kCapacity);
        for (int i = 0; i < kCapacity; ++i)
            rows[i] = storage.data() + std::ptrdiff_t(i) * length;
        std::vector<double> sum(std::size_t(length), 0.0);
        long frames = 0;
        const auto accumulate = [&](int count) {
            for (int f = 0; f < count; ++f)
                for (int c = 0; c < length; ++c)
                    sum[c] += rows[f][c];
            frames += count;
        };
        fe_start_utt(frontEnd);
        const int16* next = pcm.data();
        std::size_t left = pcm.size();
        while (true) {
            int32 count = kCapacity;
            int32 index = 0;
            const std::size_t before = left;
            if (fe_process_frames(frontEnd, &next, &left, rows.data(), &count, &index) < 0)
                break;
            accumulate(count);
            if (count == 0 && (left == 0 || left == before))
                break;
        }
        int32 last = 0;
        fe_end_utt(frontEnd, rows[0], &last);
        accumulate(last);
        fe_free(frontEnd);
        if (frames < 50)
            return std::nullopt;
        std::vector<float> mean(static_cast<std::size_t>(length));
        for (int c = 0; c < length; ++c)
            mean[c] = float(sum[c] / double(frames));
        return mean;
    }

    // Takes over `model` (the general one or a mix) and makes it the decoder's only
    // language-model search.
    bool installSearch(ngram_model_t* model) {
        const bool installed = model && ps_set_lm(m_decoder, kSearch, model) == 0 &&
                               ps_set_search(m_decoder, kSearch) == 0;
        if (model)
            ngram_model_free(model);
        return installed;
    }

    // Removes every language-model search. Words can be added to the dictionary only then: this
    // decoder adds a new word to the models of all its language-model searches too, which
    // corrupts the memory of the general model.
    void removeSearches() {
        QList<QByteArray> names;
        for (ps_search_iter_t* it = ps_search_iter(m_decoder); it; it = ps_search_iter_next(it))
            if (const char* name = ps_search_iter_val(it))
                names.append(name);
        for (const QByteArray& name : std::as_const(names))
            if (name != kPhoneLoopSearch)
                ps_unset_search(m_decoder, name.constData());
    }

    QString dictionaryPronunciation(const QString& word) const {
        char* phones = ps_lookup_word(m_decoder, word.toUtf8().constData());
        const QString result = phones ? QString::fromUtf8(phones) : QString();
        ckd_free(phones);
        return result;
    }

    void addWords(const std::vector<VocabularyLanguageModel::Word>& words) {
        for (const auto& word : words) {
            for (qsizetype k = 0; k < word.pronunciations.size(); ++k) {
                // Further pronunciations are the dictionary's variants "word(2)", "word(3)".
                const QString name =
                    k == 0 ? word.text : word.text + u'(' + QString::number(k + 1) + u')';
                if (!dictionaryPronunciation(name).isEmpty())
                    continue;
                if (ps_add_word(m_decoder, name.toUtf8().constData(),
                                word.pronunciations[k].toUtf8().constData(), FALSE) < 0 &&
                    k == 0)
                    break;
            }
        }
    }

    // The general model with the vocabulary model mixed in; the general one alone when the
    // vocabulary model cannot be read.
    ngram_model_t* mixedModel(const VocabularyLanguageModel& vocabulary) {
        QTemporaryFile file(QDir::temp().filePath(u"quovant-vocabulary-XXXXXX.arpa"_s));
        ngram_model_t* model = nullptr;
        if (file.open() && file.write(vocabulary.arpa) == vocabulary.arpa.size() &&
            file.flush())
            model = ngram_model_read(ps_get_config(m_decoder),
                                     QFile::encodeName(file.fileName()).constData(), NGRAM_ARPA,
                                     ps_get_logmath(m_decoder));
        if (!model)
            return ngram_model_retain(m_general);
        ngram_model_t* models[] = {m_general, model};
        const char* names[] = {"general", "vocabulary"};
        const float32 weights[] = {float32(1 - m_settings.vocabularyWeight),
                                   float32(m_settings.vocabularyWeight)};
        ngram_model_t* mixed = ngram_model_set_init(ps_get_config(m_decoder), models,
                                                    const_cast<char**>(names), weights, 2);
        ngram_model_free(model);
        return mixed ? mixed : ngram_model_retain(m_general);
    }

    // Builds the search for `terms` unless it already holds the same phrases. Runs before the
    // utterance that needs it starts, while its audio waits in the queue.
    void installVocabulary(const QStringList& terms) {
        if (!m_decoder)
            return;
        abandon(m_current);
        const VocabularyLanguageModel vocabulary = VocabularyLanguageModel::build(
            terms, [this](const QString& word) { return dictionaryPronunciation(word); },
            [](const QStringList& words) { return Pronunciations::guess(words, kGuessTimeout); });
        if (vocabulary.phrases == m_installedPhrases)
            return;
        ngram_model_t* model =
            vocabulary.isEmpty() ? ngram_model_retain(m_general) : mixedModel(vocabulary);
        removeSearches();
        addWords(vocabulary.newWords);
        if (installSearch(model)) {
            m_installedPhrases = vocabulary.phrases;
            return;
        }
        // Without a search no utterance could start: fall back to the general model.
        m_installedPhrases.clear();
        if (!installSearch(ngram_model_retain(m_general)))
            Log::error(u"ASR: PocketSphinx could not rebuild its search"_s);
    }

    void begin(const std::shared_ptr<Session>& session) {
        abandon(m_current);
        if (!m_decoder) {
            session->failure = u"the recogniser is not loaded"_s;
            return;
        }
        if (ps_start_utt(m_decoder) < 0) {
            session->failure = u"PocketSphinx could not start an utterance"_s;
            return;
        }
        session->started = true;
        session->holding = m_stock;
        m_current = session;
        m_meanBefore = cepstralMean();
    }

    void feed(Session& session, const std::vector<float>& samples, double rate) {
        if (&session != m_current.get() || session.cancelled.load())
            return;
        const bool nominal = !(rate > 0) || !std::isfinite(rate) ||
                             std::abs(rate - PocketSphinxEngine::kSampleRate) < 0.5;
        const std::vector<float> resampled =
            nominal ? std::vector<float>() : session.resampler.process(samples, rate);
        const std::vector<float>& source = nominal ? samples : resampled;
        if (source.empty())
            return;
        m_pcm.resize(source.size());
        for (std::size_t i = 0; i < source.size(); ++i)
            m_pcm[i] = PocketSphinxEngine::toPcm16(source[i]);
        if (session.holding) {
            session.held.insert(session.held.end(), m_pcm.begin(), m_pcm.end());
            if (session.held.size() >= kHeldSamples)
                release(session);
            return;
        }
        decode(session, m_pcm);
    }

    // The held-back start of a first utterance: its own mean replaces the stock values (the
    // decoder's estimate would need some eight seconds of speech to move), then it is decoded.
    void release(Session& session) {
        session.holding = false;
        const std::vector<int16> held = std::move(session.held);
        session.held.clear();
        if (const auto mean = ownMean(held))
            setCepstralMean(*mean);
        constexpr std::size_t kPiece = 1600; // as the microphone's 100 ms chunks, for the clock
        for (std::size_t at = 0; at < held.size() && &session == m_current.get(); at += kPiece)
            decode(session, std::span(held).subspan(at, std::min(kPiece, held.size() - at)));
    }

    void decode(Session& session, std::span<const int16> pcm) {
        session.presence.add(pcm);
        if (ps_process_raw(m_decoder, pcm.data(), pcm.size(), FALSE, FALSE) < 0) {
            session.failure = u"PocketSphinx could not decode the audio"_s;
            ps_end_utt(m_decoder);
            m_current.reset();
            return;
        }
        session.samplesFed += std::int64_t(pcm.size());
        session.clock.fed(ps_get_n_frames(m_decoder), session.samplesFed);
    }

    void end(const std::shared_ptr<Session>& session) {
        if (session == m_current && session->holding)
            release(*session);
        if (session != m_current) {
            session->settle({.failure = session->failure});
            return;
        }
        m_current.reset();
        if (ps_end_utt(m_decoder) < 0) {
            session->settle({.failure = u"PocketSphinx could not finish the utterance"_s});
            return;
        }
        Outcome outcome;
        outcome.primary = cleanHypothesis(ps_get_hyp(m_decoder, nullptr));
        if (outcome.primary.isEmpty() || !session->presence.heard()) {
            // Noise or silence: whatever the decoder made of it is no word of the user's, and
            // its colour must not become the normalisation of the next utterance.
            setCepstralMean(m_meanBefore);
            session->settle({});
            return;
        }
        outcome.pauses = pausesOf(m_decoder, outcome.primary, session->clock, session->presence);
        ps_nbest_t* nbest = ps_nbest(m_decoder);
        for (int i = 0; nbest && i < m_settings.alternatives; ++i) {
            nbest = ps_nbest_next(nbest);
            if (!nbest)
                break;
            outcome.alternatives.append(cleanHypothesis(ps_nbest_hyp(nbest, nullptr)));
        }
        if (nbest)
            ps_nbest_free(nbest);
        session->settle(std::move(outcome));
        m_stock = false;
        // After the transcript is on its way, so that the key-up path never waits for the disk.
        if (const QString path = statePath(); !path.isEmpty())
            CepstralMeanState::save(path, cepstralMean());
    }

    void abandon(const std::shared_ptr<Session>& session) {
        if (!session)
            return;
        if (session == m_current) {
            ps_end_utt(m_decoder);
            // A cancelled recording may be anything; it teaches the normalisation nothing.
            setCepstralMean(m_meanBefore);
            m_current.reset();
        }
        session->settle({});
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Command> m_queue;
    QString m_modelDirectory;
    QString m_statePath;
    QPromise<QString> m_loaded;
    DecoderSettings m_settings;

    // Worker thread only.
    ps_decoder_t* m_decoder = nullptr;
    ngram_model_t* m_general = nullptr;
    QStringList m_installedPhrases;
    std::shared_ptr<Session> m_current;
    std::vector<int16> m_pcm;
    std::vector<float> m_stockMean;
    std::vector<mfcc_t> m_stockSum;
    // The normaliser holds the model's stock values (nothing saved, or reset).
    bool m_stock = true;
    int32 m_stockFrames = 0;
    // The normalisation as it was when the current utterance began.
    std::vector<float> m_meanBefore;

    std::thread m_thread;
};

PocketSphinxEngine::PocketSphinxEngine(QString locale)
    : PocketSphinxEngine(std::move(locale), defaultModelDirectory(), DecoderSettings(),
                         CepstralMeanState::defaultPath()) {}

PocketSphinxEngine::PocketSphinxEngine(QString locale, QString modelDirectory,
                                       DecoderSettings settings, QString statePath)
    : m_locale(std::move(locale)), m_modelDirectory(std::move(modelDirectory)),
      m_settings(settings), m_statePath(std::move(statePath)),
      m_worker(std::make_unique<Worker>()) {}

PocketSphinxEngine::~PocketSphinxEngine() {
    if (auto session = takeSession())
        session->cancelled = true;
}

QString PocketSphinxEngine::name() const {
    return u"PocketSphinx (built-in)"_s;
}

QString PocketSphinxEngine::defaultModelDirectory() {
    const QString configured = qEnvironmentVariable("QUOVANT_POCKETSPHINX_MODEL");
    if (!configured.isEmpty())
        return configured;
    const QString built = QStringLiteral(QUOVANT_POCKETSPHINX_MODEL_DIR);
    for (const QString& candidate : {built, u"/usr/share/pocketsphinx/model/en-us"_s,
                                     u"/usr/local/share/pocketsphinx/model/en-us"_s}) {
        if (isModelComplete(candidate))
            return candidate;
    }
    return built;
}

bool PocketSphinxEngine::isSupportedLocale(const QString& identifier) {
    const QString language = identifier.section(u'-', 0, 0).section(u'_', 0, 0);
    return language.compare(u"en"_s, Qt::CaseInsensitive) == 0;
}

qint16 PocketSphinxEngine::toPcm16(float sample) {
    if (!(sample < 1.0f))
        return 32767;
    return static_cast<qint16>(std::max(sample, -1.0f) * 32767.0f);
}

QString PocketSphinxEngine::missingModelFiles() const {
    if (isModelComplete(m_modelDirectory))
        return {};
    return u"no PocketSphinx model in "_s + QDir::toNativeSeparators(m_modelDirectory) +
           u"; install the package "_s + kModelPackage;
}

QCoro::Task<void> PocketSphinxEngine::prepare() {
    if (!m_loading.isValid()) {
        Log::info(u"ASR: querying supported locales…"_s);
        if (!isSupportedLocale(m_locale))
            throw QuovantError::localeUnsupported(m_locale);
        if (const QString missing = missingModelFiles(); !missing.isEmpty())
            throw QuovantError::speechModelUnavailable(missing);
        m_loading = m_worker->load(m_modelDirectory, m_settings, m_statePath);
        const QFuture<QString> loading = m_loading;
        const QString failure = co_await loading;
        if (!failure.isEmpty()) {
            m_loading = {};
            throw QuovantError::speechModelUnavailable(failure);
        }
        Log::info(u"ASR ready · "_s + m_locale + u" · "_s +
                  QString::number(static_cast<int>(kSampleRate)) + u" Hz · streaming"_s);
        co_return;
    }
    const QFuture<QString> loading = m_loading;
    const QString failure = co_await loading;
    if (!failure.isEmpty())
        throw QuovantError::speechModelUnavailable(failure);
}

QCoro::Task<void> PocketSphinxEngine::beginUtterance(QStringList contextualStrings) {
    co_await cancelUtterance();
    co_await prepare();
    if (contextualStrings != m_vocabulary) {
        m_vocabulary = contextualStrings;
        m_worker->post({.kind = Worker::Command::Kind::vocabulary, .terms = m_vocabulary});
    }
    auto session = std::make_shared<Session>(std::move(contextualStrings));
    std::shared_ptr<Session> replaced;
    {
        std::lock_guard lock(m_lock);
        // Another begin may have slipped in while this one was waiting for the model.
        replaced = std::exchange(m_session, session);
        m_worker->post({Worker::Command::Kind::begin, session});
    }
    if (replaced) {
        replaced->cancelled = true;
        m_worker->post({Worker::Command::Kind::cancel, replaced});
    }
}

void PocketSphinxEngine::append(const AudioChunk& chunk) {
    if (chunk.samples.empty() || chunk.samples.size() >= (std::uint64_t{1} << 32))
        return;
    std::vector<float> samples = chunk.samples;
    std::lock_guard lock(m_lock);
    if (!m_session)
        return;
    // Posting under the session lock orders every accepted chunk before the session's end.
    m_worker->post({Worker::Command::Kind::audio, m_session, std::move(samples), chunk.sampleRate});
}

std::shared_ptr<PocketSphinxEngine::Session> PocketSphinxEngine::takeSession() {
    std::lock_guard lock(m_lock);
    return std::exchange(m_session, nullptr);
}

QCoro::Task<QString> PocketSphinxEngine::finishUtterance() {
    const std::shared_ptr<Session> session = takeSession();
    if (!session)
        co_return QString();
    m_worker->post({Worker::Command::Kind::end, session});
    const QFuture<Outcome> result = session->result;
    const Outcome outcome = co_await result;
    m_lastPauses.clear();
    if (!outcome.failure.isEmpty())
        throw QuovantError::speechModelUnavailable(outcome.failure);
    const QString chosen = ContextualAlternativeSelector::choose(
                               outcome.primary, outcome.alternatives, session->contextualStrings)
                               .trimmed();
    // The timings belong to the first choice; another choice with as many words keeps them.
    if (chosen.count(u' ') == outcome.primary.count(u' '))
        m_lastPauses = outcome.pauses;
    co_return chosen;
}

void PocketSphinxEngine::resetNormalisation() {
    m_worker->post({Worker::Command::Kind::reset, nullptr});
}

SpeechPauses PocketSphinxEngine::lastPauses() const {
    return m_lastPauses;
}

void PocketSphinxEngine::expectRecording(const AudioChunk& recording) {
    if (recording.samples.empty() || !(recording.sampleRate > 0) ||
        !std::isfinite(recording.sampleRate))
        return;
    m_worker->post({Worker::Command::Kind::prime, nullptr, recording.samples,
                    recording.sampleRate});
}

QCoro::Task<void> PocketSphinxEngine::cancelUtterance() {
    if (const std::shared_ptr<Session> session = takeSession()) {
        session->cancelled = true;
        m_worker->post({Worker::Command::Kind::cancel, session});
    }
    co_return;
}

} // namespace quovant
