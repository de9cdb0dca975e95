#include "speech/recognition_context_builder.h"

#include "core/unicode_text.h"

#include <QSet>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

struct CodePoint {
    char32_t value;
    qsizetype width;
};

CodePoint codePointAt(QStringView text, qsizetype index) {
    const QChar c = text[index];
    if (c.isHighSurrogate() && index + 1 < text.size() && text[index + 1].isLowSurrogate()) {
        return {QChar::surrogateToUcs4(c, text[index + 1]), 2};
    }
    return {c.unicode(), 1};
}

bool isAlphanumericOrMark(char32_t c) {
    return unicode::isLetter(c) || unicode::isMark(c) || unicode::isNumber(c);
}

// Collapses every run of white space to one blank and trims both ends.
QString collapseWhitespace(const QString& text) {
    QString result;
    result.reserve(text.size());
    bool pendingBlank = false;
    for (qsizetype i = 0; i < text.size();) {
        const CodePoint cp = codePointAt(text, i);
        if (unicode::isWhitespace(cp.value)) {
            pendingBlank = !result.isEmpty();
        } else {
            if (pendingBlank) {
                result.append(u' ');
                pendingBlank = false;
            }
            result.append(QStringView(text).mid(i, cp.width));
        }
        i += cp.width;
    }
    return result;
}

// Classification of a user-perceived character by its first code point.
struct CharacterKind {
    bool upper = false;
    bool lower = false;
    bool digit = false;
};

CharacterKind kindOf(QStringView character) {
    if (character.isEmpty()) {
        return {};
    }
    const char32_t c = codePointAt(character, 0).value;
    return {unicode::isUppercase(c), unicode::isLowercase(c), unicode::isDigit(c)};
}

} // namespace

QString RecognitionContextBuilder::normalized(const QString& text) {
    const QString folded = unicode::foldCaseAndDiacritics(text);
    QString result;
    result.reserve(folded.size());
    bool pendingBlank = false;
    for (qsizetype i = 0; i < folded.size();) {
        const CodePoint cp = codePointAt(folded, i);
        if (isAlphanumericOrMark(cp.value)) {
            if (pendingBlank) {
                result.append(u' ');
                pendingBlank = false;
            }
            result.append(QStringView(folded).mid(i, cp.width));
        } else {
            pendingBlank = !result.isEmpty();
        }
        i += cp.width;
    }
    return result;
}

QString RecognitionContextBuilder::splitIdentifier(const QString& text) {
    const QStringList characters = unicode::graphemes(text);
    QStringList words;
    QString current;
    const auto endWord = [&] {
        const QString word = unicode::trimmedWhitespace(current);
        if (!word.isEmpty()) {
            words.append(word);
        }
        current.clear();
    };

    for (qsizetype i = 0; i < characters.size(); ++i) {
        const QString& character = characters[i];
        if (character == u"_"_s || character == u"-"_s || character == u"/"_s) {
            endWord();
            continue;
        }
        if (!current.isEmpty() && i > 0) {
            const CharacterKind c = kindOf(character);
            const CharacterKind p = kindOf(characters[i - 1]);
            const bool hasNext = i + 1 < characters.size();
            const CharacterKind n = hasNext ? kindOf(characters[i + 1]) : CharacterKind{};
            const bool camelBoundary = c.upper && (p.lower || p.digit);
            const bool acronymEnd = c.upper && p.upper && hasNext && n.lower;
            const bool digitBoundary = c.digit != p.digit;
            if (camelBoundary || acronymEnd || digitBoundary) {
                endWord();
            }
        }
        current.append(character);
    }
    endWord();
    return words.join(u' ');
}

QStringList RecognitionContextBuilder::spokenVariants(const QString& term) {
    const QString cleaned = collapseWhitespace(term);
    if (cleaned.isEmpty()) {
        return {};
    }
    const QString spoken = splitIdentifier(cleaned);
    if (normalized(spoken) != normalized(cleaned) && spoken.count(u' ') >= 1) {
        return {spoken, cleaned};
    }
    return {cleaned};
}

const QStringList& RecognitionContextBuilder::promptHints() {
    static const QStringList kHints{
        u"Goal"_s,         u"Context"_s,       u"Constraints"_s, u"Acceptance criteria"_s,
        u"Verification"_s, u"do not change"_s, u"preserve"_s,    u"add tests"_s,
        u"run tests"_s,
    };
    return kHints;
}

QList<QStringList> RecognitionContextBuilder::sourceLists(PipelineMode mode,
                                                          const QStringList& customVocabulary,
                                                          const QStringList& learnedTerms,
                                                          const QStringList& repositoryVocabulary,
                                                          const QStringList& editCommandHints) {
    switch (mode) {
    case PipelineMode::dictation:
        return {customVocabulary, {}, repositoryVocabulary, learnedTerms};
    case PipelineMode::developerPrompt:
        return {customVocabulary, promptHints(), repositoryVocabulary, learnedTerms};
    case PipelineMode::editSelection:
        return {{}, editCommandHints, {}, {}};
    }
    return {};
}

QStringList RecognitionContextBuilder::contextualStrings(const QList<QStringList>& sourceLists) {
    QStringList result;
    QSet<QString> seen;
    for (const QStringList& list : sourceLists) {
        for (const QString& term : list) {
            for (const QString& variant : spokenVariants(term)) {
                if (result.size() >= kMaxContextualStrings) {
                    return result;
                }
                const QString key = normalized(variant);
                if (key.isEmpty() || seen.contains(key)) {
                    continue;
                }
                seen.insert(key);
                result.append(variant);
            }
        }
    }
    return result;
}

QStringList RecognitionContextBuilder::contextualStrings(PipelineMode mode,
                                                         const QStringList& customVocabulary,
                                                         const QStringList& learnedTerms,
                                                         const QStringList& repositoryVocabulary,
                                                         const QStringList& editCommandHints) {
    return contextualStrings(
        sourceLists(mode, customVocabulary, learnedTerms, repositoryVocabulary, editCommandHints));
}

QStringList RecognitionContextBuilder::combinedVocabulary(const QStringList& customVocabulary,
                                                          const QStringList& learnedTerms,
                                                          const QStringList& repositoryVocabulary) {
    QStringList result = customVocabulary;
    const QSet<QString> custom(customVocabulary.cbegin(), customVocabulary.cend());
    for (const QString& term : learnedTerms) {
        if (!custom.contains(term)) {
            result.append(term);
        }
    }
    QSet<QString> preceding(result.cbegin(), result.cend());
    for (const QString& term : repositoryVocabulary) {
        if (!preceding.contains(term)) {
            preceding.insert(term);
            result.append(term);
        }
    }
    return result;
}

} // namespace quovant
