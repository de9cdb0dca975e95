#pragma once

#include "core/ports/text_formatter.h"
#include "core/speech_pauses.h"

#include <QString>

namespace quovant {

// The offline formatter: instant, deterministic clean-up that only deletes words, changes case
// and adds punctuation. Always available; main thread, but holds no state.
class BuiltinFormatter final : public TextFormatter {
public:
    QString name() const override;
    bool isAvailable() const override { return true; }

    QCoro::Task<void> prepare() override;
    QCoro::Task<QString> format(QString transcript, FormattingContext context) override;
    // Fixes grammar and makes bullet lists; the other commands need a language model.
    QCoro::Task<QString> rewrite(QString text, RewriteCommand command,
                                 FormattingContext context) override;
    QCoro::Task<QString> compileDeveloperPrompt(QString transcript,
                                                FormattingContext context) override;

    // The synchronous cores of the three modes, for callers and tests without an event loop.
    // `pauses` (from the recogniser) end sentences where the speaker clearly stopped.
    static QString formatText(const QString& transcript, const QStringList& vocabulary,
                              const SpeechPauses& pauses = {});
    static QString rewriteText(const QString& text, RewriteCommand command,
                               const QStringList& vocabulary);
    static QString compileText(const QString& transcript, const QStringList& vocabulary,
                               const SpeechPauses& pauses = {});
};

} // namespace quovant
