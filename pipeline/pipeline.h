#pragma once

#include "core/agent_kind.h"
#include "core/latency_stats.h"
#include "core/pipeline_mode.h"
#include "core/pipeline_state.h"
#include "core/platform_kit.h"
#include "core/selected_text_snapshot.h"
#include "core/timings.h"
#include "formatting/formatting_context.h"
#include "pipeline/pipeline_clock.h"
#include "repository/repository_context.h"
#include "settings/config.h"

#include <QCoroTask>
#include <QSet>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace quovant {

class Learner;
class Store;
class TranscriptGuard;
struct Utterance;

// The utterance state machine: key down records, key up recognises, formats, guards and
// delivers, then learns and keeps history. Main thread only; every awaited step resumes there.
//
// Only one utterance is ever in flight: a press is refused while one records, starts or is being
// processed, and the release of a refused press changes nothing. An utterance abandoned by
// `cancel` neither delivers nor stores anything afterwards.
class Pipeline {
public:
    static constexpr double minimumHoldSeconds = 0.25;
    // Every awaited step of an utterance ends by these limits, so a recogniser, sound server or
    // agent that never answers cannot leave every later press refused. Recognition allows more
    // than the whisper server's own inference limit, so the engine's own error normally wins.
    static constexpr qint64 kStartDeadlineMS = 10000;
    static constexpr qint64 kRecognitionDeadlineMS = 90000;
    static constexpr qint64 kHandoffDeadlineMS = 60000;

    Pipeline(Config config, PlatformKit platform, std::shared_ptr<Store> store,
             std::shared_ptr<PipelineClock> clock = PipelineClock::system());
    ~Pipeline();
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    std::function<void(const PipelineState&)> onStateChange;
    // Called with each utterance stored in the history.
    std::function<void(const Utterance&)> onUtterance;

    const PipelineState& state() const { return m_state; }
    const Config& config() const { return m_config; }
    PipelineMode activeMode() const { return m_activeMode; }
    const std::optional<RepositoryContext>& repositoryContext() const {
        return m_repositoryContext;
    }
    LatencyStats& latency() { return m_latency; }
    Learner& learner() { return *m_learner; }
    std::shared_ptr<AsrEngine> asr() const { return m_asr; }
    std::shared_ptr<TextFormatter> formatter() const { return m_formatter; }
    // True from an accepted key press until capture has started or failed.
    bool isStarting() const { return m_isStarting; }

    static std::shared_ptr<AsrEngine> makeAsr(const Config& config, const PlatformKit& platform);
    static std::shared_ptr<TextFormatter> makeFormatter(const Config& config,
                                                        const PlatformKit& platform);

    QCoro::Task<void> prepare();
    // New engines for new recogniser, formatter, endpoint, model or locale settings.
    QCoro::Task<void> reload(Config config);
    // Settings that need no new engines.
    QCoro::Task<void> updatePreferences(Config config);

    // Key down of the dictation key.
    void begin();
    // Key down for any mode; false when refused.
    bool begin(PipelineMode mode);
    bool beginEditing();
    bool beginPrompting();
    // Key up; with a mode, ignored unless it is the mode being recorded.
    void finish(std::optional<PipelineMode> expectedMode = std::nullopt);
    void cancel();

    bool isAgentAvailable(AgentKind kind) const;
    QCoro::Task<std::optional<RepositoryContext>> refreshRepositoryContext();

private:
    struct RepositoryRefresh;
    // Identifies one accepted press; flows stop at their next step once it is no longer current.
    using Generation = quint64;

    void setState(PipelineState state);
    void notify(const QString& title, const QString& body);
    // Where text that could not be delivered was kept.
    enum class KeptIn { clipboard, history, log };
    // On the clipboard when there is one that takes it; otherwise the history, when the flow
    // stores the text there, or else the log, so that it is never lost.
    KeptIn keepUndelivered(const QString& text, bool storedInHistory);
    // The sentence that tells the user where the text (`what`: "text", "prompt") is when it is
    // not on the clipboard.
    static QString notOnClipboard(KeptIn place, const QString& what);
    void refuse(PipelineMode mode);
    bool isCurrent(const std::weak_ptr<bool>& alive, Generation generation) const;
    void cancelUtteranceSoon();
    void resetSoon();
    void startMaxHoldTimer();
    qint64 nowMS() const { return m_clock->nowMS(); }

    QCoro::Task<void> startUp(Generation generation, PipelineMode mode, double sampleRate,
                              QStringList contextualStrings);
    QCoro::Task<void> runInference(Generation generation, Timings timings);
    QCoro::Task<void> runDictation(Generation generation, QString raw, Timings timings);
    QCoro::Task<void> runEditCommand(Generation generation, QString raw, Timings timings);
    QCoro::Task<void> runDeveloperPrompt(Generation generation, QString raw, Timings timings);
    // False when the utterance was abandoned meanwhile.
    QCoro::Task<bool> resolvePendingRepositoryContext(Generation generation);
    QCoro::Task<void> refreshInBackground();

    void requireOriginalDestination() const;
    std::optional<QString> retainCurrentAudio(const QString& utteranceID, PipelineMode mode);
    void storeUtterance(const QString& utteranceID, const FrontmostApp& app, const QString& raw,
                        const QString& shipped, const QString& verdict, const Timings& timings,
                        qint64 responseMS, const std::optional<QString>& audioFile);
    TranscriptGuard transcriptGuard() const;
    qint64 formatterBudget(const QString& raw, int maximumBase) const;
    bool formatterIsUsable() const;
    void applyPortSettings();

    PipelineState m_state;
    Config m_config;
    PipelineMode m_activeMode = PipelineMode::dictation;
    std::optional<RepositoryContext> m_repositoryContext;
    std::shared_ptr<Store> m_store;
    std::unique_ptr<Learner> m_learner;
    LatencyStats m_latency;
    PlatformKit m_platform;
    std::shared_ptr<PipelineClock> m_clock;
    std::shared_ptr<AsrEngine> m_asr;
    std::shared_ptr<TextFormatter> m_formatter;
    std::optional<qint64> m_recordingStart;
    std::optional<qint64> m_releaseTime;
    FormattingContext m_pendingContext;
    FrontmostApp m_pendingApp;
    std::optional<SelectedTextSnapshot> m_pendingSelection;
    std::shared_ptr<RepositoryRefresh> m_pendingRepositoryTask;
    QString m_utteranceID;
    std::unique_ptr<PipelineTimer> m_maxHoldTimer;
    std::unique_ptr<PipelineTimer> m_resetTimer;
    bool m_isStarting = false;
    bool m_pendingFinish = false;

    Generation m_generation = 0;
    // Modes whose key press was refused and whose release is still to come.
    QSet<int> m_refusedPresses;
    // The recogniser the capture thread feeds; swapped on reload.
    struct AsrSlot;
    std::shared_ptr<AsrSlot> m_asrSlot;
    // Expires with the pipeline, so that suspended flows and timers never touch a dead one.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

} // namespace quovant
