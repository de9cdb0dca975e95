#include "speech/contextual_alternative_selector.h"

#include "core/unicode_text.h"
#include "speech/recognition_context_builder.h"

#include <QHash>
#include <QSet>

#include <algorithm>
#include <vector>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

qsizetype wordCount(const QString& normalizedText) {
    return normalizedText.isEmpty() ? 0 : normalizedText.count(u' ') + 1;
}

// Each user-perceived character as a small integer, equal characters equal numbers, so the
// distance table compares integers instead of strings.
std::vector<int> characterIds(const QString& original, QHash<QString, int>& ids) {
    // Canonically equivalent characters count as equal.
    const QString text = unicode::toNfc(original);
    std::vector<int> result;
    qsizetype start = 0;
    for (const qsizetype end : unicode::graphemeEnds(text)) {
        const QString character = text.mid(start, end - start);
        auto it = ids.constFind(character);
        if (it == ids.cend()) {
            it = ids.insert(character, int(ids.size()));
        }
        result.push_back(*it);
        start = end;
    }
    return result;
}

} // namespace

int ContextualAlternativeSelector::contextScore(const QString& text, const QStringList& phrases) {
    const QString haystack = u' ' + RecognitionContextBuilder::normalized(text) + u' ';
    int score = 0;
    for (const QString& phrase : phrases) {
        const QString p = RecognitionContextBuilder::normalized(phrase);
        if (p.isEmpty()) {
            continue;
        }
        const qsizetype words = wordCount(p);
        if (words < 2 || words > 4) {
            continue;
        }
        if (unicode::containsGraphemes(haystack, QString(u' ' + p + u' '))) {
            score += 10 * int(words);
        }
    }
    return score;
}

int ContextualAlternativeSelector::editDistance(const QString& a, const QString& b) {
    QHash<QString, int> ids;
    const std::vector<int> x = characterIds(a, ids);
    const std::vector<int> y = characterIds(b, ids);
    if (x.empty() || y.empty()) {
        return int(std::max(x.size(), y.size()));
    }
    std::vector<int> previous(y.size() + 1);
    std::vector<int> current(y.size() + 1);
    for (size_t j = 0; j <= y.size(); ++j) {
        previous[j] = int(j);
    }
    for (size_t i = 1; i <= x.size(); ++i) {
        current[0] = int(i);
        for (size_t j = 1; j <= y.size(); ++j) {
            const int substitution = previous[j - 1] + (x[i - 1] == y[j - 1] ? 0 : 1);
            current[j] = std::min({previous[j] + 1, current[j - 1] + 1, substitution});
        }
        std::swap(previous, current);
    }
    return previous[y.size()];
}

bool ContextualAlternativeSelector::isConservativeAlternative(const QString& primary,
                                                              const QString& candidate) {
    const QString a = RecognitionContextBuilder::normalized(primary);
    const QString b = RecognitionContextBuilder::normalized(candidate);
    if (std::abs(wordCount(a) - wordCount(b)) >= 2) {
        return false;
    }
    const qsizetype lengthA = unicode::graphemeCount(a);
    const qsizetype lengthB = unicode::graphemeCount(b);
    const qsizetype limit = std::max<qsizetype>(3 * std::max(lengthA, lengthB) / 10, 2);
    // The distance is at least the difference in length; skip the table when that already fails.
    if (std::abs(lengthA - lengthB) > limit) {
        return false;
    }
    return editDistance(a, b) <= limit;
}

QString ContextualAlternativeSelector::choose(const QString& primary,
                                              const QStringList& alternatives,
                                              const QStringList& contextualPhrases) {
    QString best = primary;
    int bestScore = contextScore(primary, contextualPhrases);
    QSet<QString> seen{RecognitionContextBuilder::normalized(primary)};
    for (const QString& alternative : alternatives) {
        const QString key = RecognitionContextBuilder::normalized(alternative);
        if (key.isEmpty() || seen.contains(key)) {
            continue;
        }
        seen.insert(key);
        const int score = contextScore(alternative, contextualPhrases);
        if (score > bestScore && isConservativeAlternative(primary, alternative)) {
            best = alternative;
            bestScore = score;
        }
    }
    return best;
}

} // namespace quovant
