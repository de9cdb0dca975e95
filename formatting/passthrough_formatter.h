#pragma once

#include "core/ports/text_formatter.h"

#include <QString>

namespace quovant {

// The formatter used when no model is configured: dictation passes through unchanged, the other
// modes fail with formatterUnavailable.
class PassthroughFormatter : public TextFormatter {
public:
    explicit PassthroughFormatter(QString name = QStringLiteral("None (raw transcript)"));

    QString name() const override;
    bool isAvailable() const override;
    QCoro::Task<void> prepare() override;
    QCoro::Task<QString> format(QString transcript, FormattingContext context) override;
    QCoro::Task<QString> rewrite(QString text, RewriteCommand command,
                                 FormattingContext context) override;
    QCoro::Task<QString> compileDeveloperPrompt(QString transcript,
                                                FormattingContext context) override;

private:
    QString m_name;
};

} // namespace quovant
