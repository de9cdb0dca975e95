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
#include <mutex>
#include <vector>

using namespace Qt::StringLiterals;

// Dictation: format, guard and deliver the transcript, then keep what the user chose to keep.

namespace quovant {

QCoro::Task<void> Pipeline::runDictation(Generation generation, QString raw, Timings timings) {
    const std::weak_ptr<bool> alive = m_alive;
    const qint64 formatStart = nowMS();
    const TranscriptGuard guard = transcriptGuard();
    QString text;
    TranscriptGuard::Verdict verdict = TranscriptGuard::Verdict::accepted;
    if (!formatterIsUsable()) {
        text = TranscriptGuard::lightlyPunctuate(raw);
        verdict = TranscriptGuard::Verdict::formatterDisabled;
    } else if (TranscriptGuard::words(raw).size() < m_config.guardMinWordsForLLM) {
        text = TranscriptGuard::lightlyPunctuate(raw);
        verdict = TranscriptGuard::Verdict::skippedTooShort;
    } else {
        const qint64 budget = formatterBudget(raw, 15000);
        auto formatter = m_formatter;
        auto context = m_pendingContext;
        auto format = [formatter, raw, context](std::stop_token stop) -> QCoro::Task<QString> {
            std::stop_callback giveUp(stop, [formatter] { formatter->abandonRequests(); });
            co_return co_await formatter->format(raw, context);
        };
        auto outcome = co_await withDeadline(m_clock, budget, std::move(format));
        if (!isCurrent(alive, generation)) {
            co_return;
        }
        if (!outcome) {
            Log::warn(u"Formatter exceeded its "_s + QString::number(budget) + u" ms budget."_s);
            text = TranscriptGuard::lightlyPunctuate(raw);
            verdict = TranscriptGuard::Verdict::formatterFailed;
        } else if (!outcome->succeeded()) {
            Log::warn(u"Formatter failed: "_s + describeFailure(outcome->error()));
            text = TranscriptGuard::lightlyPunctuate(raw);
            verdict = TranscriptGuard::Verdict::formatterFailed;
        } else {
            const auto decision = guard.evaluate(raw, outcome->value(), context.vocabulary);
            text = decision.text;
            verdict = decision.verdict;
            if (verdict != TranscriptGuard::Verdict::accepted &&
                verdict != TranscriptGuard::Verdict::skippedTooShort &&
                verdict != TranscriptGuard::Verdict::formatterDisabled) {
                Log::warn(u"Guard overruled the formatter ("_s +
                          TranscriptGuard::rawValue(verdict) + u")."_s);
            }
        }
    }
    timings.formatMS = nowMS() - formatStart;

    // Values of this utterance, kept before anything below can hand control to the shell.
    const QString utteranceID = m_utteranceID;
    const FrontmostApp app = m_pendingApp;
    const qint64 deliveryStart = nowMS();
    try {
        requireOriginalDestination();
        if (!m_platform.injector) {
            throw QuovantError::injectionFailed(u"no text injector is available"_s);
        }
        m_platform.injector->inject(text);
    } catch (...) {
        Log::error(u"Injection failed: "_s + describeFailure(std::current_exception()));
        const KeptIn place = keepUndelivered(text, m_config.retainHistory);
        notify(u"Couldn't type that"_s,
               place == KeptIn::clipboard
                   ? u"The text is on your clipboard — press Ctrl+V to paste it."_s
                   : notOnClipboard(place, u"text"_s));
    }
    timings.injectMS = nowMS() - deliveryStart;
    setState(PipelineState::idle());

    const qint64 responseMS =
        timings.asrMS + timings.contextMS + timings.formatMS + timings.injectMS;
    m_latency.record(responseMS);
    if (m_config.learnVocabulary && !text.isEmpty()) {
        m_learner->ingest(text);
    }
    const std::optional<QString> audioFile =
        retainCurrentAudio(utteranceID, PipelineMode::dictation);
    if (m_config.retainHistory) {
        storeUtterance(utteranceID, app, raw, text, TranscriptGuard::rawValue(verdict), timings,
                       responseMS, audioFile);
    }
}

std::optional<QString> Pipeline::retainCurrentAudio(const QString& utteranceID, PipelineMode mode) {
    if (!m_config.retainAudio || mode == PipelineMode::editSelection || !m_platform.capture) {
        return std::nullopt;
    }
    const QString path = m_store->audioURL(utteranceID);
    m_platform.capture->writeRetainedAudio(path);
    if (!QFileInfo::exists(path)) {
        return std::nullopt;
    }
    m_store->didWriteAudio(path);
    return QFileInfo(path).fileName();
}

void Pipeline::storeUtterance(const QString& utteranceID, const FrontmostApp& app,
                              const QString& raw, const QString& shipped, const QString& verdict,
                              const Timings& timings, qint64 responseMS,
                              const std::optional<QString>& audioFile) {
    Utterance utterance;
    utterance.id = utteranceID;
    utterance.timestamp = QDateTime::currentDateTimeUtc();
    utterance.appBundleID = app.bundleID;
    utterance.appName = app.name;
    utterance.rawTranscript = raw;
    utterance.formattedText = shipped;
    utterance.shippedText = shipped;
    utterance.guardVerdict = verdict;
    utterance.engine = m_asr ? m_asr->name() : QString();
    utterance.formatter = m_formatter ? m_formatter->name() : QString();
    utterance.asrMS = timings.asrMS;
    utterance.formatMS = timings.formatMS;
    utterance.responseMS = responseMS;
    utterance.audioFile = audioFile;
    m_store->append(utterance);
    if (onUtterance) {
        onUtterance(utterance);
    }
}

} // namespace quovant
