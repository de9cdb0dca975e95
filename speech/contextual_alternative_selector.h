#pragma once

#include <QString>
#include <QStringList>

namespace quovant {

// Picks, among a recogniser's alternative transcriptions, the one holding the most multi-word
// contextual phrases, but only when it is a small edit of the recogniser's first choice.
// Stateless and pure; safe from any thread.
class ContextualAlternativeSelector {
public:
    ContextualAlternativeSelector() = delete;

    // The primary unless an alternative scores strictly higher and stays close to the primary.
    static QString choose(const QString& primary, const QStringList& alternatives,
                          const QStringList& contextualPhrases);

    // 10 points per word for every phrase of two to four words found whole in `text`.
    static int contextScore(const QString& text, const QStringList& phrases);
    // Levenshtein distance over user-perceived characters.
    static int editDistance(const QString& a, const QString& b);
    // Word counts differ by less than two and the edit distance of the normalized forms is at
    // most max(30 % of the longer one, 2).
    static bool isConservativeAlternative(const QString& primary, const QString& candidate);
};

} // namespace quovant
