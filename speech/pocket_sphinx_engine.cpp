#include "speech/pocket_sphinx_engine.h"

#include "core/quovant_error.h"
#include "settings/log.h"
#include "speech/contextual_alternative_selector.h"

#include <QCoroFuture>
#include <QDir>
#include <QFileInfo>
#include <QPromise>

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
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
};

// Owns the decoder and the thread that feeds it; commands run strictly in the order posted.
class PocketSphinxEngine::Worker {
public:
    struct Command {
        enum class Kind { load, begin, audio, end, cancel, stop };
        Kind kind;
        std::shared_ptr<Session> session;
        std::vector<float> samples;
        double sampleRate = 0;
    };

    Worker() : m_thread([this] { run(); }) {}

    ~Worker() {
        post({Command::Kind::stop, nullptr});
        m_thread.join();
    }

    // Gives the failure text, empty on success.
    QFuture<QString> load(QString modelDirectory, DecoderSettings settings) {
        {
            std::lock_guard lock(m_mutex);
            m_modelDirectory = std::move(modelDirectory);
            m_settings = settings;
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
                return;
            }
        }
    }

    void loadDecoder() {
        QString directory;
        {
            std::lock_guard lock(m_mutex);
            directory = m_modelDirectory;
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
                "quovant", "-hmm", hmm.c_str(), "-lm", lm.c_str(), "-dict", dict.c_str(),
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
        }
        std::lock_guard lock(m_mutex);
        m_loaded.addResult(m_decoder ? QString()
                                     : u"PocketSphinx could not load the model in "_s + directory);
        m_loaded.finish();
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
        m_current = session;
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
        if (ps_process_raw(m_decoder, m_pcm.data(), m_pcm.size(), FALSE, FALSE) < 0) {
            session.failure = u"PocketSphinx could not decode the audio"_s;
            ps_end_utt(m_decoder);
            m_current.reset();
        }
    }

    void end(const std::shared_ptr<Session>& session) {
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
    }

    void abandon(const std::shared_ptr<Session>& session) {
        if (!session)
            return;
        if (session == m_current) {
            ps_end_utt(m_decoder);
            m_current.reset();
        }
        session->settle({});
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Command> m_queue;
    QString m_modelDirectory;
    QPromise<QString> m_loaded;
    DecoderSettings m_settings;

    // Worker thread only.
    ps_decoder_t* m_decoder = nullptr;
    std::shared_ptr<Session> m_current;
    std::vector<int16> m_pcm;

    std::thread m_thread;
};

PocketSphinxEngine::PocketSphinxEngine(QString locale)
    : PocketSphinxEngine(std::move(locale), defaultModelDirectory(), DecoderSettings()) {}

PocketSphinxEngine::PocketSphinxEngine(QString locale, QString modelDirectory,
                                       DecoderSettings settings)
    : m_locale(std::move(locale)), m_modelDirectory(std::move(modelDirectory)),
      m_settings(settings), m_worker(std::make_unique<Worker>()) {}

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
        m_loading = m_worker->load(m_modelDirectory, m_settings);
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
    if (!outcome.failure.isEmpty())
        throw QuovantError::speechModelUnavailable(outcome.failure);
    co_return ContextualAlternativeSelector::choose(outcome.primary, outcome.alternatives,
                                                    session->contextualStrings)
        .trimmed();
}

QCoro::Task<void> PocketSphinxEngine::cancelUtterance() {
    if (const std::shared_ptr<Session> session = takeSession()) {
        session->cancelled = true;
        m_worker->post({Worker::Command::Kind::cancel, session});
    }
    co_return;
}

} // namespace quovant
