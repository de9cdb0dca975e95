#pragma once

#include "core/forward.h"

#include <QString>

namespace quovant {

// The model request of edit-in-place mode: fixed instructions and a user message that frames the
// selection as data. Pure and thread-safe.
struct RewritePrompt {
    // The system prompt of this mode.
    static const QString& instructions();

    static QString prompt(const QString& text, RewriteCommand command,
                          const FormattingContext& context);
};

} // namespace quovant
