#pragma once

#include "core/forward.h"

#include <QString>
#include <QStringList>

namespace quovant {

// The model request of prompt mode: fixed instructions and a user message that frames the spoken
// request and any repository facts. Pure and thread-safe.
struct DeveloperPromptPrompt {
    // The system prompt of this mode.
    static const QString& instructions();

    // Phrases that help the recogniser hear the section names and common request wording.
    static QStringList recognitionHints();

    static QString prompt(const QString& transcript, const FormattingContext& context);
};

} // namespace quovant
