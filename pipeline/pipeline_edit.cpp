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

// Edit in Place: rewrite the captured selection by the spoken command and replace it when safe.

namespace quovant {


QCoro::Task<void> Pipeline::runEditCommand(Generation generation, QString raw, Timings timings) {
    const std::weak_ptr<bool> alive = m_alive;
    const std::optional<RewriteCommand> command = RewriteCommands::parse(raw);
    if (!command) {
        Log::info(u"Edit command was not recognized; selection left untouched."_s);
        notify(u"Edit command not recognized"_s,
               u"Say one command: "_s + RewriteCommands::recognitionHints().join(u", "_s) + u"."_s);
        m_pendingSelection.reset();
        setState(PipelineState::idle());
        co_return;
    }
    if (!m_pendingSelection || !m_platform.selectionEditor) {
        notify(u"Edit in Place"_s,
               u"The original selection is no longer available. Nothing was replaced."_s);
        m_pendingSelection.reset();
        setState(PipelineState::idle());
        co_return;
    }
    const SelectedTextSnapshot snapshot = *m_pendingSelection;
    const qint64 started = nowMS();
    auto formatter = m_formatter;
    auto context = m_pendingContext;
    const RewriteCommand chosen = *command;
    auto rewrite = [formatter, text = snapshot.text, chosen,
                    context](std::stop_token stop) -> QCoro::Task<QString> {
        std::stop_callback giveUp(stop, [formatter] { formatter->abandonRequests(); });
        co_return co_await formatter->rewrite(text, chosen, context);
    };
    auto outcome = co_await withDeadline(m_clock, std::max(m_config.formatterTimeoutMS, 1),
                                         std::move(rewrite));
    if (!isCurrent(alive, generation)) {
        co_return;
    }
    timings.formatMS = nowMS() - started;
    m_pendingSelection.reset();
    if (!outcome) {
        Log::warn(u"Selected-text rewrite exceeded its "_s +
                  QString::number(m_config.formatterTimeoutMS) + u" ms budget."_s);
        notify(u"Rewrite timed out"_s, u"The original text was left unchanged."_s);
        setState(PipelineState::idle());
        co_return;
    }
    if (!outcome->succeeded()) {
        Log::warn(u"Selected-text rewrite failed: "_s + describeFailure(outcome->error()));
        notify(u"Rewrite failed"_s, u"The original text was left unchanged."_s);
        setState(PipelineState::idle());
        co_return;
    }
    const RewriteGuard::Decision decision = RewriteGuard::evaluate(
        snapshot.text, outcome->value(), chosen, m_pendingContext.vocabulary);
    if (decision.verdict != RewriteGuard::Verdict::accepted) {
        Log::warn(u"Rewrite guard kept the original selection ("_s +
                  RewriteGuard::rawValue(decision.verdict) + u")."_s);
        notify(u"Unsafe rewrite blocked"_s,
               u"Quovant kept the original text because the rewrite changed protected content or "
               u"meaning."_s);
        setState(PipelineState::idle());
        co_return;
    }
    const qint64 replaceStart = nowMS();
    try {
        m_platform.selectionEditor->replaceSelection(snapshot, decision.text);
    } catch (...) {
        const QString description = describeFailure(std::current_exception());
        Log::warn(u"Selected text was not replaced: "_s + description);
        notify(u"Nothing was replaced"_s, description);
        setState(PipelineState::idle());
        co_return;
    }
    timings.injectMS = nowMS() - replaceStart;
    setState(PipelineState::idle());
    m_latency.record(timings.asrMS + timings.contextMS + timings.formatMS + timings.injectMS);
    Log::info(u"Edit in Place complete · "_s + RewriteCommands::title(chosen) + u" · "_s +
              timings.summary());
}

} // namespace quovant
