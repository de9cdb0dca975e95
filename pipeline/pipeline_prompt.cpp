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

// Prompt Mode: compile the spoken request into a task specification and deliver or hand it off.

namespace quovant {


QCoro::Task<bool> Pipeline::resolvePendingRepositoryContext(Generation generation) {
    const std::weak_ptr<bool> alive = m_alive;
    if (!m_config.repositoryContextEnabled || !m_pendingRepositoryTask) {
        m_pendingRepositoryTask.reset();
        co_return true;
    }
    auto refresh = m_pendingRepositoryTask;
    auto wait = [refresh]() -> QCoro::Task<std::optional<RepositoryContext>> {
        co_return co_await RepositoryRefresh::Awaiter{refresh};
    };
    auto outcome = co_await withDeadline(m_clock, 300, std::move(wait));
    if (!isCurrent(alive, generation)) {
        co_return false;
    }
    if (outcome && outcome->succeeded()) {
        std::optional<RepositoryContext> context = outcome->value();
        if (context) {
            m_repositoryContext = context;
            m_pendingContext.repository = context;
            QSet<QString> known;
            for (const QString& term : m_pendingContext.vocabulary) {
                known.insert(unicode::foldCaseAndDiacritics(term));
            }
            for (const QString& term : context->vocabulary) {
                const QString folded = unicode::foldCaseAndDiacritics(term);
                if (!known.contains(folded)) {
                    known.insert(folded);
                    m_pendingContext.vocabulary.append(term);
                }
            }
        }
    }
    m_pendingRepositoryTask.reset();
    co_return true;
}

QCoro::Task<void> Pipeline::runDeveloperPrompt(Generation generation, QString raw,
                                               Timings timings) {
    const std::weak_ptr<bool> alive = m_alive;
    const qint64 contextStart = nowMS();
    const bool current = co_await resolvePendingRepositoryContext(generation);
    if (!current) {
        co_return;
    }
    timings.contextMS = nowMS() - contextStart;
    const QString fallback = DeveloperPromptDocument::fallback(raw).rendered();
    QString text;
    DeveloperPromptGuard::Verdict verdict = DeveloperPromptGuard::Verdict::accepted;
    if (!formatterIsUsable()) {
        text = fallback;
        verdict = DeveloperPromptGuard::Verdict::formatterDisabled;
    } else {
        const qint64 budget = formatterBudget(raw, 1800);
        const qint64 started = nowMS();
        auto formatter = m_formatter;
        auto context = m_pendingContext;
        auto compile = [formatter, raw, context](std::stop_token stop) -> QCoro::Task<QString> {
            std::stop_callback giveUp(stop, [formatter] { formatter->abandonRequests(); });
            co_return co_await formatter->compileDeveloperPrompt(raw, context);
        };
        auto outcome = co_await withDeadline(m_clock, budget, std::move(compile));
        if (!isCurrent(alive, generation)) {
            co_return;
        }
        timings.formatMS = nowMS() - started;
        if (!outcome) {
            Log::warn(u"Prompt compilation exceeded its "_s + QString::number(budget) +
                      u" ms budget."_s);
            notify(u"Prompt simplified for safety"_s,
                   u"The local model timed out, so Quovant kept your request verbatim."_s);
            text = fallback;
            verdict = DeveloperPromptGuard::Verdict::formatterFailed;
        } else if (!outcome->succeeded()) {
            Log::warn(u"Prompt compilation failed: "_s + describeFailure(outcome->error()));
            notify(u"Prompt simplified for safety"_s,
                   u"The local model failed, so Quovant kept your request verbatim."_s);
            text = fallback;
            verdict = DeveloperPromptGuard::Verdict::formatterFailed;
        } else {
            const auto decision = DeveloperPromptGuard::evaluate(
                raw, outcome->value(), m_pendingContext.vocabulary, m_pendingContext.repository);
            text = decision.text;
            verdict = decision.verdict;
            if (verdict != DeveloperPromptGuard::Verdict::accepted) {
                Log::warn(u"Prompt guard used the lossless fallback "_s + u"("_s +
                          DeveloperPromptGuard::rawValue(verdict) + u")."_s);
                notify(u"Prompt simplified for safety"_s,
                       u"The model changed protected content, so Quovant kept your request "
                       u"verbatim."_s);
            }
        }
    }
    const QString verdictName = DeveloperPromptGuard::rawValue(verdict);

    const QString utteranceID = m_utteranceID;
    const FrontmostApp app = m_pendingApp;
    const qint64 deliveryStart = nowMS();
    std::exception_ptr failure;
    const PromptDestination destination = m_config.promptDestination;
    if (destination == PromptDestination::focusedApp) {
        try {
            requireOriginalDestination();
            if (!m_platform.injector) {
                throw QuovantError::injectionFailed(u"no text injector is available"_s);
            }
            m_platform.injector->inject(text);
        } catch (...) {
            failure = std::current_exception();
        }
    } else if (verdict != DeveloperPromptGuard::Verdict::accepted) {
        const KeptIn place = keepUndelivered(text, m_config.retainHistory);
        const QString where = place == KeptIn::clipboard ? u"Review it on your clipboard."_s
                                                         : notOnClipboard(place, u"prompt"_s);
        notify(u"Review prompt before sending"_s,
               u"Quovant used a lossless fallback, so it did not send the prompt "_s +
                   u"automatically. "_s + where);
        Log::warn(u"Direct handoff withheld because the prompt used a "_s +
                  u"lossless fallback ("_s + verdictName + u")."_s);
    } else {
        const AgentKind kind =
            destination == PromptDestination::codex ? AgentKind::codex : AgentKind::claude;
        const std::optional<RepositoryContext> repository = m_pendingContext.repository;
        if (!repository) {
            failure = std::make_exception_ptr(QuovantError::repositoryUnavailable(
                u"choose a repository from the Quovant menu"_s));
        } else if (!m_platform.agentHandoff) {
            failure = std::make_exception_ptr(QuovantError::agentHandoffFailed(
                u"direct handoff is not available on this platform"_s));
        } else {
            auto handoff = m_platform.agentHandoff;
            auto handingOff = [handoff, text, kind, repository = *repository]() -> QCoro::Task<void> {
                co_await handoff->handoff(text, kind, repository);
            };
            const auto outcome =
                co_await withDeadline(m_clock, kHandoffDeadlineMS, std::move(handingOff));
            if (!outcome) {
                failure = std::make_exception_ptr(QuovantError::agentHandoffFailed(
                    u"the coding agent did not start within "_s +
                    QString::number(kHandoffDeadlineMS / 1000) + u" seconds"_s));
            } else if (!outcome->succeeded()) {
                failure = outcome->error();
            }
            if (!isCurrent(alive, generation)) {
                // Abandoned while the agent was starting: nothing is announced or stored, but a
                // prompt that did not reach the agent is still kept.
                if (failure && !alive.expired()) {
                    Log::error(u"Prompt delivery failed: "_s + describeFailure(failure));
                    keepUndelivered(text, false);
                }
                co_return;
            }
        }
    }
    if (failure) {
        const QString description = describeFailure(failure);
        Log::error(u"Prompt delivery failed: "_s + description);
        const KeptIn place = keepUndelivered(text, m_config.retainHistory);
        if (place == KeptIn::clipboard) {
            notify(u"Prompt copied instead"_s,
                   description + u" The prompt is on your clipboard."_s);
        } else {
            notify(u"Prompt not delivered"_s,
                   description + u' ' + notOnClipboard(place, u"prompt"_s));
        }
    }
    timings.injectMS = nowMS() - deliveryStart;
    setState(PipelineState::idle());
    const qint64 responseMS =
        timings.asrMS + timings.contextMS + timings.formatMS + timings.injectMS;
    m_latency.record(responseMS);
    Log::info(u"Prompt Mode complete · "_s + timings.summary() + u" · "_s + verdictName);

    const std::optional<QString> audioFile =
        retainCurrentAudio(utteranceID, PipelineMode::developerPrompt);
    if (m_config.retainHistory) {
        storeUtterance(utteranceID, app, raw, text, u"promptMode:"_s + verdictName, timings,
                       responseMS, audioFile);
    }
}

} // namespace quovant
