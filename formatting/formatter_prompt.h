#pragma once

#include <QString>

namespace quovant {

struct FormattingContext;

// The dictation prompt and the clean-up of every model answer. Pure text processing, never
// throws; safe from any thread.
class FormatterPrompt {
public:
    FormatterPrompt() = delete;

    // The system prompt for dictation.
    static const QString& instructions();
    // The user message: destination, known terms, recent dictation, then the transcript.
    static QString prompt(const QString& transcript, const FormattingContext& context);
    // Strips terminal escape sequences and control characters (line feeds and tabs stay), a
    // leading preamble, reasoning blocks, a Markdown fence and wrapping quotes. May return an
    // empty string; judging that is the guard's job.
    static QString sanitize(const QString& answer);
};

} // namespace quovant
