#pragma once

#include "core/speech_pauses.h"
#include "repository/repository_context.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace quovant {

// What a formatter knows about an utterance besides its words; built by the pipeline for each
// request and copied freely.
struct FormattingContext {
    // Display name of the destination (frontmost) application.
    std::optional<QString> appName;
    // Style text configured for the destination application.
    std::optional<QString> styleInstruction;
    // The speaker's known terms, most important first.
    QStringList vocabulary;
    // Earlier dictations, oldest first.
    QStringList recentTranscripts;
    std::optional<RepositoryContext> repository;
    // Where the speaker paused in the transcript being formatted (empty when unknown); it goes
    // into no prompt, so the guards and the history see the transcript alone.
    SpeechPauses pauses;

    bool operator==(const FormattingContext&) const = default;
};

} // namespace quovant
