#include "pipeline/pipeline.h"
#include "pipeline/pipeline_internals.h"

#include "core/quovant_error.h"
#include "core/unicode_text.h"
#include "formatting/developer_prompt_document.h"
#include "formatting/developer_prompt_guard.h"
#include "formatting/passthrough_formatter.h"
#include "formatting/rewrite_command.h"
#include "formatting/rewrite_guard.h"
#include "formatting/transcript_guard.h"
#include "pipeline/engine_factory.h"
#include "settings/learner.h"
#include "settings/log.h"
#include "settings/paths.h"
#include "settings/store.h"
#include "settings/utterance.h"
#include "speech/recognition_context_builder.h"

#include <QCoreApplication>
#include <QCoroFuture>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QMetaObject>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>

#include <coroutine>
#include <stdexcept>
#include <string>
#include <mutex>
#include <vector>

using namespace Qt::StringLiterals;

namespace quovant {

QString describeFailure(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const QuovantError& error) {
        return error.description();
    } catch (const std::exception& error) {
        return QString::fromUtf8(error.what());
    } catch (...) {
        return u"Unknown error"_s;
    }
}

namespace {

// Runs on the event loop after the current call has returned, like a freshly started task.
void post(std::function<void()> work) {
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(work), Qt::QueuedConnection);
}

QCoro::Task<void> cancelQuietly(std::shared_ptr<AsrEngine> asr) {
    try {
        co_await asr->cancelUtterance();
    } catch (...) {
        // Nothing depends on a cancellation; a recogniser that fails here has nothing to drop.
    }
}

template <typename Refresh>
QCoro::Task<void> runRefresh(std::shared_ptr<RepositoryContextProviding> provider,
                             std::shared_ptr<Refresh> refresh, std::optional<QString> bundleID,
                             std::optional<QString> pinned) {
    std::optional<RepositoryContext> result;
    try {
        result = co_await provider->refreshContext(std::move(bundleID), std::move(pinned));
    } catch (...) {
        result.reset();
    }
    refresh->resolve(std::move(result));
}

QString modeStartedLine(PipelineMode mode) {
    switch (mode) {
    case PipelineMode::dictation:
        return u"Recording started."_s;
    case PipelineMode::editSelection:
        return u"Edit command recording started."_s;
    case PipelineMode::developerPrompt:
        return u"Prompt Mode recording started."_s;
    }
    return {};
}

QString limitText(int seconds) {
    if (seconds % 60 == 0) {
        return QString::number(seconds / 60) + u" minute"_s + (seconds == 60 ? u""_s : u"s"_s);
    }
    return QString::number(seconds) + u" seconds"_s;
}

} // namespace

Pipeline::Pipeline(Config config, PlatformKit platform, std::shared_ptr<Store> store,
                   std::shared_ptr<PipelineClock> clock)
    : m_config(std::move(config)), m_store(std::move(store)),
      m_learner(std::make_unique<Learner>(m_store->root())), m_platform(std::move(platform)),
      m_clock(clock ? std::move(clock) : PipelineClock::system()),
      m_utteranceID(QUuid::createUuid().toString(QUuid::WithoutBraces)),
      m_asrSlot(std::make_shared<AsrSlot>()) {
    m_asr = makeAsr(m_config, m_platform);
    m_formatter = makeFormatter(m_config, m_platform);
    m_asrSlot->set(m_asr);
    m_store->ensureVocabularyFile();
}

Pipeline::~Pipeline() {
    if (m_platform.capture) {
        m_platform.capture->onChunk = nullptr;
    }
}

std::shared_ptr<AsrEngine> Pipeline::makeAsr(const Config& config, const PlatformKit& platform) {
    return EngineFactory::makeAsr(config, platform);
}

std::shared_ptr<TextFormatter> Pipeline::makeFormatter(const Config& config,
                                                       const PlatformKit& platform) {
    return EngineFactory::makeFormatter(config, platform);
}

void Pipeline::setState(PipelineState state) {
    if (state == m_state) {
        return;
    }
    m_state = std::move(state);
    if (onStateChange) {
        onStateChange(m_state);
    }
}

void Pipeline::notify(const QString& title, const QString& body) {
    if (m_platform.notifier) {
        m_platform.notifier->notify(title, body);
    }
}

Pipeline::KeptIn Pipeline::keepUndelivered(const QString& text, bool storedInHistory) {
    if (m_platform.clipboard && m_platform.clipboard->setPlainText(text)) {
        return KeptIn::clipboard;
    }
    if (storedInHistory) {
        Log::error(u"The clipboard is not available; the undelivered text is kept in the history "
                   u"only."_s);
        return KeptIn::history;
    }
    // The only copy left. A log line holds 4,096 characters, so long text goes in parts.
    constexpr qsizetype kPart = 4000;
    const qsizetype parts = std::max<qsizetype>(1, (text.size() + kPart - 1) / kPart);
    Log::error(u"The clipboard is not available; the undelivered text is kept in this log."_s);
    for (qsizetype part = 0; part < parts; ++part) {
        Log::error(u"Undelivered text ("_s + QString::number(part + 1) + u'/' +
                   QString::number(parts) + u"): "_s + text.mid(part * kPart, kPart));
    }
    return KeptIn::log;
}

QString Pipeline::notOnClipboard(KeptIn place, const QString& what) {
    return place == KeptIn::history
               ? u"The clipboard is not available, so the "_s + what +
                     u" is only in your history (Show history… in the Quovant menu)."_s
               : u"The clipboard is not available, so the "_s + what +
                     u" is only in the log (Show log… in the Quovant menu)."_s;
}

void Pipeline::refuse(PipelineMode mode) {
    m_refusedPresses.insert(static_cast<int>(mode));
}

bool Pipeline::isCurrent(const std::weak_ptr<bool>& alive, Generation generation) const {
    return !alive.expired() && generation == m_generation;
}

void Pipeline::cancelUtteranceSoon() {
    if (m_asr) {
        cancelQuietly(m_asr);
    }
}

bool Pipeline::formatterIsUsable() const {
    return m_formatter && !dynamic_cast<PassthroughFormatter*>(m_formatter.get()) &&
           m_formatter->isAvailable();
}

void Pipeline::applyPortSettings() {
    m_config.save(QDir(Paths::root()).filePath(u"config.json"_s));
    if (m_platform.hotkey) {
        m_platform.hotkey->updateKey(m_config.pushToTalkKey);
    }
    if (m_platform.capture) {
        m_platform.capture->setVoiceProcessingEnabled(m_config.voiceProcessingEnabled);
    }
}

// MARK: - Settings and engines

QCoro::Task<void> Pipeline::prepare() {
    const std::weak_ptr<bool> alive = m_alive;
    if (m_platform.capture) {
        m_platform.capture->prepare();
    }
    auto asr = m_asr;
    auto prepareAsr = [asr](std::stop_token stop) -> QCoro::Task<void> {
        std::stop_callback giveUp(stop, [asr] { asr->abandonRequests(); });
        co_await asr->prepare();
    };
    const auto outcome = co_await withDeadline(m_clock, 30000, std::move(prepareAsr));
    if (alive.expired()) {
        co_return;
    }
    if (!outcome) {
        Log::error(u"ASR preparation timed out after 30s. It will retry on first dictation."_s);
        setState(PipelineState::error(u"Speech model preparation timed out."_s));
    } else if (!outcome->succeeded()) {
        const QString description = describeFailure(outcome->error());
        Log::error(u"ASR unavailable: "_s + description);
        setState(PipelineState::error(description));
    }

    auto formatter = m_formatter;
    try {
        co_await formatter->prepare();
    } catch (...) {
        // Probing never fails loudly; availability below tells the story.
    }
    if (alive.expired()) {
        co_return;
    }
    if (!formatter->isAvailable()) {
        Log::warn(u"Formatter '"_s + formatter->name() +
                  u"' is unavailable; transcripts will ship unformatted."_s);
    }
    if (m_config.repositoryContextEnabled) {
        refreshInBackground();
    }
}

QCoro::Task<void> Pipeline::refreshInBackground() {
    try {
        co_await refreshRepositoryContext();
    } catch (...) {
        // A failed background refresh leaves the last context in place.
    }
}

QCoro::Task<void> Pipeline::reload(Config config) {
    m_config = std::move(config);
    applyPortSettings();
    m_asr = makeAsr(m_config, m_platform);
    m_asrSlot->set(m_asr);
    m_formatter = makeFormatter(m_config, m_platform);
    co_await prepare();
}

QCoro::Task<void> Pipeline::updatePreferences(Config config) {
    const bool repositoryChanged =
        config.repositoryContextEnabled != m_config.repositoryContextEnabled ||
        config.pinnedRepositoryPath != m_config.pinnedRepositoryPath;
    m_config = std::move(config);
    applyPortSettings();
    if (!m_config.repositoryContextEnabled) {
        m_repositoryContext.reset();
        if (m_pendingRepositoryTask) {
            m_pendingRepositoryTask->resolve(std::nullopt);
            m_pendingRepositoryTask.reset();
        }
    } else if (repositoryChanged) {
        co_await refreshRepositoryContext();
    }
}

bool Pipeline::isAgentAvailable(AgentKind kind) const {
    return m_platform.agentHandoff && m_platform.agentHandoff->isAgentInstalled(kind);
}

QCoro::Task<std::optional<RepositoryContext>> Pipeline::refreshRepositoryContext() {
    if (!m_config.repositoryContextEnabled || !m_platform.repositoryContext) {
        co_return std::nullopt;
    }
    const std::weak_ptr<bool> alive = m_alive;
    const std::optional<QString> bundleID =
        m_platform.frontmostApp ? m_platform.frontmostApp->frontmostApp().bundleID : std::nullopt;
    auto provider = m_platform.repositoryContext;
    std::optional<RepositoryContext> result =
        co_await provider->refreshContext(bundleID, m_config.pinnedRepositoryPath);
    if (!alive.expired()) {
        m_repositoryContext = result;
    }
    co_return result;
}

// MARK: - Key down

void Pipeline::begin() {
    if (m_state.kind == PipelineState::Kind::recording ||
        m_state.kind == PipelineState::Kind::thinking || m_isStarting) {
        refuse(PipelineMode::dictation);
        return;
    }
    m_pendingSelection.reset();
    begin(PipelineMode::dictation);
}

bool Pipeline::begin(PipelineMode mode) {
    if (m_state.kind == PipelineState::Kind::recording ||
        m_state.kind == PipelineState::Kind::thinking || m_isStarting) {
        refuse(mode);
        return false;
    }
    m_refusedPresses.remove(static_cast<int>(mode));
    // A new utterance ends the wait of an earlier error.
    m_resetTimer.reset();
    const Generation generation = ++m_generation;
    m_activeMode = mode;
    m_utteranceID = QUuid::createUuid().toString(QUuid::WithoutBraces);
    m_recordingStart = nowMS();
    m_releaseTime.reset();
    m_isStarting = true;
    m_pendingFinish = false;

    m_pendingApp =
        m_platform.frontmostApp ? m_platform.frontmostApp->frontmostApp() : FrontmostApp{};

    if (!m_config.repositoryContextEnabled || !m_platform.repositoryContext) {
        m_pendingRepositoryTask.reset();
        m_repositoryContext.reset();
    } else {
        m_repositoryContext = m_platform.repositoryContext->cachedContext(
            m_pendingApp.bundleID, m_config.pinnedRepositoryPath);
        m_pendingRepositoryTask = std::make_shared<RepositoryRefresh>();
        runRefresh(m_platform.repositoryContext, m_pendingRepositoryTask, m_pendingApp.bundleID,
                   m_config.pinnedRepositoryPath);
    }

    const QStringList custom = m_store->vocabulary();
    const QStringList learned =
        m_config.learnVocabulary ? m_learner->learnedTerms(std::nullopt) : QStringList{};
    const QStringList repositoryTerms =
        m_repositoryContext ? m_repositoryContext->vocabulary : QStringList{};
    m_pendingContext = FormattingContext{};
    m_pendingContext.appName = m_pendingApp.name;
    m_pendingContext.styleInstruction = m_config.styleInstruction(m_pendingApp.bundleID);
    m_pendingContext.vocabulary =
        RecognitionContextBuilder::combinedVocabulary(custom, learned, repositoryTerms);
    m_pendingContext.recentTranscripts =
        m_config.retainHistory ? m_store->recentTranscripts(5) : QStringList{};
    m_pendingContext.repository = m_repositoryContext;

    QStringList contextualStrings = RecognitionContextBuilder::contextualStrings(
        mode, custom, learned, repositoryTerms, RewriteCommands::recognitionHints());

    const double sampleRate = m_asr->requiredSampleRate();
    const std::weak_ptr<bool> alive = m_alive;
    post([this, alive, generation, mode, sampleRate, strings = std::move(contextualStrings)] {
        if (!alive.expired()) {
            startUp(generation, mode, sampleRate, strings);
        }
    });
    return true;
}

bool Pipeline::beginEditing() {
    if (m_state.kind == PipelineState::Kind::recording ||
        m_state.kind == PipelineState::Kind::thinking || m_isStarting) {
        refuse(PipelineMode::editSelection);
        return false;
    }
    if (!formatterIsUsable()) {
        refuse(PipelineMode::editSelection);
        notify(u"Edit in Place"_s,
               u"Choose the built-in formatter or Ollama before editing selected text."_s);
        return false;
    }
    if (!m_platform.selectionEditor) {
        refuse(PipelineMode::editSelection);
        notify(u"Edit in Place"_s, u"Selected-text editing is not available on this platform."_s);
        return false;
    }
    try {
        m_pendingSelection = m_platform.selectionEditor->captureSelection();
    } catch (...) {
        m_pendingSelection.reset();
        refuse(PipelineMode::editSelection);
        notify(u"Edit in Place"_s, describeFailure(std::current_exception()));
        return false;
    }
    return begin(PipelineMode::editSelection);
}

bool Pipeline::beginPrompting() {
    if (m_state.kind == PipelineState::Kind::recording ||
        m_state.kind == PipelineState::Kind::thinking || m_isStarting) {
        refuse(PipelineMode::developerPrompt);
        return false;
    }
    m_pendingSelection.reset();
    return begin(PipelineMode::developerPrompt);
}

QCoro::Task<void> Pipeline::startUp(Generation generation, PipelineMode mode, double sampleRate,
                                    QStringList contextualStrings) {
    const std::weak_ptr<bool> alive = m_alive;
    auto asr = m_asr;
    auto capture = m_platform.capture;
    const bool retainAudio = m_config.retainAudio;
    std::exception_ptr failure;
    auto beginning = [asr, contextualStrings](std::stop_token stop) -> QCoro::Task<void> {
        std::stop_callback giveUp(stop, [asr] { asr->abandonRequests(); });
        co_await asr->beginUtterance(contextualStrings);
    };
    const auto begun = co_await withDeadline(m_clock, kStartDeadlineMS, std::move(beginning));
    if (alive.expired()) {
        co_return;
    }
    if (!begun) {
        failure = std::make_exception_ptr(std::runtime_error(
            "The recogniser did not start within " + std::to_string(kStartDeadlineMS / 1000) +
            " seconds."));
    } else if (!begun->succeeded()) {
        failure = begun->error();
    }
    if (generation != m_generation) {
        // Cancelled while starting: nothing was captured yet.
        m_isStarting = false;
        m_pendingFinish = false;
        co_await cancelQuietly(asr);
        co_return;
    }
    if (!failure && !capture) {
        failure = std::make_exception_ptr(QuovantError(QuovantError::Kind::noAudioInput));
    }
    if (!failure) {
        capture->onChunk = [slot = std::weak_ptr<AsrSlot>(m_asrSlot)](const AudioChunk& chunk) {
            if (auto held = slot.lock()) {
                if (auto engine = held->get()) {
                    engine->append(chunk);
                }
            }
        };
        auto starting =
            QtConcurrent::run([capture, sampleRate, retainAudio]() -> std::exception_ptr {
                try {
                    capture->start(sampleRate, retainAudio);
                    return nullptr;
                } catch (...) {
                    return std::current_exception();
                }
            });
        auto waitForStart = [starting]() -> QCoro::Task<void> {
            if (const std::exception_ptr refused = co_await starting) {
                std::rethrow_exception(refused);
            }
        };
        const auto started =
            co_await withDeadline(m_clock, kStartDeadlineMS, std::move(waitForStart));
        if (!started) {
            // A sound server that never answers must not hold every later press; should the
            // capture start after all, it is stopped again at once.
            starting.then([capture](std::exception_ptr late) {
                if (!late) {
                    capture->stop();
                }
            });
            failure = std::make_exception_ptr(std::runtime_error(
                "The microphone did not start within " + std::to_string(kStartDeadlineMS / 1000) +
                " seconds."));
        } else {
            failure = started->error();
        }
        if (alive.expired()) {
            capture->stop();
            co_return;
        }
        if (generation != m_generation) {
            capture->stop();
            m_isStarting = false;
            m_pendingFinish = false;
            co_await cancelQuietly(asr);
            co_return;
        }
    }
    if (failure) {
        const QString description = describeFailure(failure);
        m_isStarting = false;
        m_pendingSelection.reset();
        Log::error(u"Could not start recording: "_s + description);
        setState(PipelineState::error(description));
        notify(u"Quovant"_s, description);
        co_await cancelQuietly(asr);
        co_return;
    }

    setState(PipelineState::recording());
    m_isStarting = false;
    Log::info(modeStartedLine(mode));
    startMaxHoldTimer();
    if (m_pendingFinish) {
        m_pendingFinish = false;
        Log::info(u"Applying release that arrived during startup."_s);
        finish(mode);
    }
}

void Pipeline::startMaxHoldTimer() {
    m_maxHoldTimer.reset();
    const int limit = m_config.maximumRecordingSeconds;
    const QString text = limitText(limit);
    const std::weak_ptr<bool> alive = m_alive;
    const PipelineMode mode = m_activeMode;
    const Generation generation = m_generation;
    m_maxHoldTimer =
        m_clock->schedule(qint64(limit) * 1000, [this, alive, mode, generation, limit, text] {
            if (!isCurrent(alive, generation) || m_state.kind != PipelineState::Kind::recording) {
                return;
            }
            Log::warn(u"Maximum "_s + QString::number(limit) +
                      u"s recording reached without a key-up; "_s + u"finishing automatically."_s);
            notify(u"Recording limit reached"_s,
                   u"Quovant finished this dictation after "_s + text +
                       u". Choose a longer limit from the menu or continue in a new dictation."_s);
            finish(mode);
        });
}

// MARK: - Key up

void Pipeline::finish(std::optional<PipelineMode> expectedMode) {
    if (expectedMode) {
        const bool refused = m_refusedPresses.remove(static_cast<int>(*expectedMode));
        if (*expectedMode != m_activeMode) {
            return;
        }
        // The release of a press that was turned away belongs to no utterance.
        if (refused && m_state.kind != PipelineState::Kind::recording && !m_isStarting) {
            Log::info(u"finish() ignored — not recording (state unchanged)."_s);
            return;
        }
    }
    m_maxHoldTimer.reset();

    if (m_state.kind != PipelineState::Kind::recording) {
        if (m_isStarting) {
            m_pendingFinish = true;
            Log::info(u"Release arrived during startup; will apply once recording begins."_s);
            return;
        }
        Log::info(u"finish() ignored — not recording (state unchanged)."_s);
        // An utterance being processed is never abandoned by a stray release (a late key-up after
        // the recording limit, say); only an error is cleared.
        if (m_state.isError()) {
            cancel();
        }
        return;
    }

    const qint64 now = nowMS();
    const qint64 heldMS = m_recordingStart ? now - *m_recordingStart : 0;
    m_releaseTime = now;
    if (m_platform.capture) {
        m_platform.capture->stop();
    }

    if (heldMS < qint64(minimumHoldSeconds * 1000)) {
        Log::info(u"Ignored "_s + QString::number(heldMS) + u" ms key tap."_s);
        m_pendingSelection.reset();
        setState(PipelineState::idle());
        cancelUtteranceSoon();
        return;
    }

    const AudioCaptureStatus status =
        m_platform.capture ? m_platform.capture->lastCaptureStatus() : AudioCaptureStatus::unknown;
    if (status == AudioCaptureStatus::noBuffers || status == AudioCaptureStatus::digitalSilence) {
        const QString message =
            status == AudioCaptureStatus::noBuffers
                ? u"The microphone stopped sending audio. Quovant reset it; please try that "
                  u"dictation again."_s
                : u"The audio system sent a silent microphone stream. Quovant switched to its "
                  u"reliable fallback; please try that dictation again."_s;
        Log::error(u"Recording produced no usable microphone audio. "_s + message);
        m_pendingSelection.reset();
        setState(PipelineState::error(message));
        notify(u"Microphone recovered"_s, message);
        cancelUtteranceSoon();
        resetSoon();
        return;
    }

    setState(PipelineState::thinking());
    Timings timings;
    timings.recordingMS = heldMS;
    const Generation generation = m_generation;
    const std::weak_ptr<bool> alive = m_alive;
    post([this, alive, generation, timings] {
        if (isCurrent(alive, generation)) {
            runInference(generation, timings);
        }
    });
}

void Pipeline::cancel() {
    if (m_platform.capture) {
        m_platform.capture->stop();
    }
    m_maxHoldTimer.reset();
    m_pendingSelection.reset();
    m_pendingFinish = false;
    // Whatever the abandoned utterance is still awaiting, it will find itself superseded.
    ++m_generation;
    setState(PipelineState::idle());
    cancelUtteranceSoon();
}

void Pipeline::resetSoon() {
    const std::weak_ptr<bool> alive = m_alive;
    m_resetTimer = m_clock->schedule(2500, [this, alive] {
        if (!alive.expired() && m_state.isError()) {
            setState(PipelineState::idle());
        }
    });
}

// MARK: - After the release

QCoro::Task<void> Pipeline::runInference(Generation generation, Timings timings) {
    const std::weak_ptr<bool> alive = m_alive;
    auto asr = m_asr;
    const qint64 started = nowMS();
    QString raw;
    std::exception_ptr failure;
    auto recognise = [asr](std::stop_token stop) -> QCoro::Task<QString> {
        std::stop_callback giveUp(stop, [asr] { asr->abandonRequests(); });
        co_return co_await asr->finishUtterance();
    };
    const auto recognised =
        co_await withDeadline(m_clock, kRecognitionDeadlineMS, std::move(recognise));
    if (!isCurrent(alive, generation)) {
        co_return;
    }
    if (!recognised) {
        failure = std::make_exception_ptr(QuovantError::speechModelUnavailable(
            u"recognition did not finish within "_s +
            QString::number(kRecognitionDeadlineMS / 1000) + u" seconds"_s));
    } else if (!recognised->succeeded()) {
        failure = recognised->error();
    } else {
        raw = recognised->value().trimmed();
        m_pendingContext.pauses = asr->lastPauses();
    }
    timings.asrMS = nowMS() - started;
    if (failure) {
        const QString description = describeFailure(failure);
        Log::error(u"Transcription failed: "_s + description);
        setState(PipelineState::error(description));
        notify(u"Transcription failed"_s, description);
        resetSoon();
        co_return;
    }
    if (raw.isEmpty()) {
        Log::info(u"Nothing was said."_s);
        m_pendingSelection.reset();
        setState(PipelineState::idle());
        co_return;
    }
    switch (m_activeMode) {
    case PipelineMode::dictation:
        co_await runDictation(generation, raw, timings);
        break;
    case PipelineMode::editSelection:
        co_await runEditCommand(generation, raw, timings);
        break;
    case PipelineMode::developerPrompt:
        co_await runDeveloperPrompt(generation, raw, timings);
        break;
    }
}

TranscriptGuard Pipeline::transcriptGuard() const {
    TranscriptGuard guard;
    guard.minContentRetention = m_config.guardMinContentRetention;
    guard.maxLengthRatio = m_config.guardMaxLengthRatio;
    guard.minWordsForLLM = m_config.guardMinWordsForLLM;
    guard.maxInventedRatio = 0.5;
    guard.maxInventedWords = 2;
    return guard;
}

qint64 Pipeline::formatterBudget(const QString& raw, int maximumBase) const {
    const qint64 base = std::clamp(m_config.formatterTimeoutMS, 1, maximumBase);
    const qint64 ceiling = m_config.formatterTimeoutCeiling(int(base));
    const qint64 words = TranscriptGuard::words(raw).size();
    const qint64 extra = std::max<qint64>(0, words - 20) * 50;
    return std::min(ceiling, base + extra);
}

void Pipeline::requireOriginalDestination() const {
    const FrontmostApp current =
        m_platform.frontmostApp ? m_platform.frontmostApp->frontmostApp() : FrontmostApp{};
    bool matches = true;
    if (m_pendingApp.bundleID) {
        matches = current.bundleID && *current.bundleID == *m_pendingApp.bundleID;
    } else if (m_pendingApp.name) {
        matches = current.name && *current.name == *m_pendingApp.name;
    }
    if (!matches) {
        throw QuovantError(QuovantError::Kind::destinationChanged);
    }
}

} // namespace quovant
