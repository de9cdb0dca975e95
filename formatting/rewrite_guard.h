#pragma once

#include "formatting/rewrite_command.h"

#include <QSet>
#include <QString>
#include <QStringList>

namespace quovant {

// Decides whether a model's rewrite may replace the user's selection. Deterministic, stateless,
// thread-safe and never throws; every rejection hands back the selection itself.
struct RewriteGuard {
    enum class Verdict {
        accepted,
        rejectedEmpty,
        rejectedNoChange,
        rejectedModelResponse,
        rejectedTooLong,
        rejectedTooShort,
        rejectedProtectedContent,
        rejectedMeaningChange,
    };

    struct Decision {
        QString text;
        Verdict verdict = Verdict::accepted;

        bool operator==(const Decision&) const = default;
    };

    // The name stored in the history and printed in log lines.
    static QString rawValue(Verdict verdict);

    // Words that carry no content; shared with the developer-prompt guard.
    static const QSet<QString>& stopWords();

    // The words of at least two characters that are not stop words, in order, with repeats.
    static QStringList contentWords(const QStringList& words);

    static Decision evaluate(const QString& original, const QString& rewritten,
                             RewriteCommand command, const QStringList& vocabulary);

private:
    static bool looksLikeModelResponse(const QString& text);
    static QSet<QString> protectedTokens(const QString& text, const QStringList& vocabulary);
};

} // namespace quovant
