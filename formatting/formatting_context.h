#pragma once

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

    bool operator==(const FormattingContext&) const = default;
};

} // namespace quovant
