#include "formatting/rewrite_guard.h"

#include "core/unicode_text.h"
#include "formatting/fact_pattern_starts.h"
#include "formatting/transcript_guard.h"

#include <algorithm>
#include <array>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

using unicode::Regex;

struct Limits {
    double maxLengthRatio;
    double maxNovelShare;
    double minRetainedShare;
};

Limits limitsFor(RewriteCommand command) {
    switch (command) {
    case RewriteCommand::fixGrammar:
        return {1.45, 0.45, 0.7};
    case RewriteCommand::shorten:
        return {1.0, 0.35, 0.35};
    case RewriteCommand::makeFormal:
    case RewriteCommand::makeCasual:
    case RewriteCommand::improveClarity:
        return {1.8, 0.6, 0.45};
    case RewriteCommand::bulletList:
        return {1.35, 0.4, 0.65};
    }
    return {1.0, 0.35, 0.7};
}

const std::array<QString, 11>& modelResponseMarkers() {
    static const std::array<QString, 11> kMarkers{
        u"sure,"_s,           u"here is the"_s,        u"here's the"_s,
        u"rewritten text:"_s, u"revised text:"_s,      u"formatted text:"_s,
        u"i can't"_s,         u"i cannot"_s,           u"i'm sorry"_s,
        u"as an ai"_s,        u"as a language model"_s};
    return kMarkers;
}

struct Pattern {
    const Regex* regex;
    bool (*mayStart)(const QString&, qsizetype);
};

const std::array<Pattern, 7>& protectedPatterns() {
    static const Regex kWebAddress(u"https?://[^\\s<>()]+"_s);
    static const Regex kEmail(u"[A-Za-z0-9._%+-]+@[A-Za-z0-9.-]+\\.[A-Za-z]{2,}"_s);
    static const Regex kPath(u"(?:[A-Za-z0-9_.-]+/)+[A-Za-z0-9_.-]+"_s);
    static const Regex kSnakeCase(u"\\b[A-Za-z][A-Za-z0-9]*_[A-Za-z0-9_]+\\b"_s);
    static const Regex kAcronym(u"\\b[A-Z]{2,}[A-Za-z0-9_]*\\b"_s);
    static const Regex kCode(u"\\b[A-Z][A-Z0-9_]*\\d[A-Z0-9_]*\\b"_s);
    static const Regex kNumber(u"\\b\\d+(?::\\d+)?\\b"_s);
    static const std::array<Pattern, 7> kAll{{
        {&kWebAddress, fact_patterns::webAddress},
        {&kEmail, fact_patterns::email},
        {&kPath, fact_patterns::path},
        {&kSnakeCase, fact_patterns::snakeCase},
        {&kAcronym, fact_patterns::acronym},
        {&kCode, fact_patterns::upperCaseCode},
        {&kNumber, fact_patterns::number},
    }};
    return kAll;
}

const Regex& capitalisedWord() {
    static const Regex kCapitalised(u"\\b[A-Z][a-z]{2,}\\b"_s);
    return kCapitalised;
}

bool isTrimmedPunctuation(QChar c) {
    return c == u'.' || c == u',' || c == u'!' || c == u'?' || c == u';' || c == u':' || c == u')';
}

QStringView trimmedPunctuation(QStringView text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isTrimmedPunctuation(text[begin])) {
        ++begin;
    }
    while (end > begin && isTrimmedPunctuation(text[end - 1])) {
        --end;
    }
    return text.sliced(begin, end - begin);
}

bool hasAtLeastTwoCharacters(const QString& word) {
    if (word.size() < 2) {
        return false;
    }
    // Plain ASCII letters and digits are one character each; anything else may combine.
    const bool ascii =
        std::all_of(word.begin(), word.end(), [](QChar c) { return c.unicode() < 0x80; });
    return ascii || unicode::graphemeCount(word) >= 2;
}

} // namespace

QString RewriteGuard::rawValue(Verdict verdict) {
    switch (verdict) {
    case Verdict::accepted:
        return u"accepted"_s;
    case Verdict::rejectedEmpty:
        return u"rejectedEmpty"_s;
    case Verdict::rejectedNoChange:
        return u"rejectedNoChange"_s;
    case Verdict::rejectedModelResponse:
        return u"rejectedModelResponse"_s;
    case Verdict::rejectedTooLong:
        return u"rejectedTooLong"_s;
    case Verdict::rejectedTooShort:
        return u"rejectedTooShort"_s;
    case Verdict::rejectedProtectedContent:
        return u"rejectedProtectedContent"_s;
    case Verdict::rejectedMeaningChange:
        return u"rejectedMeaningChange"_s;
    }
    return u"rejectedEmpty"_s;
}

const QSet<QString>& RewriteGuard::stopWords() {
    static const QSet<QString> kStopWords{
        u"a"_s,    u"an"_s,    u"and"_s,    u"are"_s,   u"as"_s,  u"at"_s,   u"be"_s,  u"been"_s,
        u"but"_s,  u"by"_s,    u"can"_s,    u"could"_s, u"for"_s, u"from"_s, u"had"_s, u"has"_s,
        u"have"_s, u"he"_s,    u"her"_s,    u"here"_s,  u"him"_s, u"his"_s,  u"i"_s,   u"if"_s,
        u"in"_s,   u"is"_s,    u"it"_s,     u"its"_s,   u"me"_s,  u"my"_s,   u"of"_s,  u"on"_s,
        u"or"_s,   u"our"_s,   u"please"_s, u"she"_s,   u"so"_s,  u"that"_s, u"the"_s, u"their"_s,
        u"them"_s, u"there"_s, u"they"_s,   u"this"_s,  u"to"_s,  u"us"_s,   u"was"_s, u"we"_s,
        u"were"_s, u"will"_s,  u"with"_s,   u"would"_s, u"you"_s, u"your"_s};
    return kStopWords;
}

QStringList RewriteGuard::contentWords(const QStringList& words) {
    QStringList content;
    for (const QString& word : words) {
        if (hasAtLeastTwoCharacters(word) && !stopWords().contains(word)) {
            content.append(word);
        }
    }
    return content;
}

bool RewriteGuard::looksLikeModelResponse(const QString& text) {
    const QString lowered = unicode::toLower(text);
    for (const QString& marker : modelResponseMarkers()) {
        if (unicode::startsWithGraphemes(lowered, marker)) {
            return true;
        }
    }
    return false;
}

QSet<QString> RewriteGuard::protectedTokens(const QString& text, const QStringList& vocabulary) {
    QSet<QString> tokens;
    for (const Pattern& pattern : protectedPatterns()) {
        for (const unicode::RegexMatch& match :
             pattern.regex->allMatchesWhere(text, pattern.mayStart)) {
            const QString& matched = match.groups.front();
            const QStringView token = trimmedPunctuation(matched);
            if (!token.isEmpty()) {
                tokens.insert(token.toString());
            }
        }
    }
    for (const unicode::RegexMatch& match :
         capitalisedWord().allMatchesWhere(text, fact_patterns::capitalised)) {
        const QString& word = match.groups.front();
        // A sentence-initial "The" or "Please" is grammar, not a name.
        if (match.start == 0 && stopWords().contains(unicode::toLower(word))) {
            continue;
        }
        tokens.insert(word);
    }
    if (!vocabulary.isEmpty()) {
        const QString foldedText = unicode::foldCaseAndDiacritics(text);
        for (const QString& term : vocabulary) {
            const QString trimmed = unicode::trimmedWhitespace(term);
            if (!trimmed.isEmpty() &&
                unicode::containsGraphemes(foldedText, unicode::foldCaseAndDiacritics(trimmed))) {
                tokens.insert(trimmed);
            }
        }
    }
    return tokens;
}

RewriteGuard::Decision RewriteGuard::evaluate(const QString& original, const QString& rewritten,
                                              RewriteCommand command,
                                              const QStringList& vocabulary) {
    const QString orig = unicode::trimmedWhitespace(original);
    const QString out = unicode::trimmedWhitespace(rewritten);
    const auto reject = [&](Verdict verdict) { return Decision{orig, verdict}; };

    if (out.isEmpty()) {
        return reject(Verdict::rejectedEmpty);
    }
    if (looksLikeModelResponse(out)) {
        return reject(Verdict::rejectedModelResponse);
    }
    if (out == orig) {
        return reject(Verdict::rejectedNoChange);
    }

    const QStringList originalWords = TranscriptGuard::words(orig);
    const QStringList rewrittenWords = TranscriptGuard::words(out);
    if (originalWords.isEmpty() || rewrittenWords.isEmpty()) {
        return reject(Verdict::rejectedEmpty);
    }

    const Limits limits = limitsFor(command);
    const double lengthRatio =
        static_cast<double>(rewrittenWords.size()) / static_cast<double>(originalWords.size());
    if (lengthRatio > limits.maxLengthRatio ||
        (command == RewriteCommand::shorten && rewrittenWords.size() >= originalWords.size())) {
        return reject(Verdict::rejectedTooLong);
    }

    QSet<QString> kept;
    for (const QString& token : protectedTokens(out, vocabulary)) {
        kept.insert(unicode::foldCaseAndDiacritics(token));
    }
    for (const QString& token : protectedTokens(orig, vocabulary)) {
        if (!kept.contains(unicode::foldCaseAndDiacritics(token))) {
            return reject(Verdict::rejectedProtectedContent);
        }
    }

    const QStringList originalContent = contentWords(originalWords);
    const QStringList rewrittenContent = contentWords(rewrittenWords);
    const QSet<QString> originalSet(originalContent.begin(), originalContent.end());
    const QSet<QString> rewrittenSet(rewrittenContent.begin(), rewrittenContent.end());

    if (!rewrittenContent.isEmpty()) {
        const auto novel =
            std::count_if(rewrittenContent.begin(), rewrittenContent.end(),
                          [&](const QString& w) { return !originalSet.contains(w); });
        if (static_cast<double>(novel) / static_cast<double>(rewrittenContent.size()) >
            limits.maxNovelShare) {
            return reject(Verdict::rejectedMeaningChange);
        }
    }
    if (originalContent.isEmpty()) {
        return Decision{out, Verdict::accepted};
    }
    const auto retained = std::count_if(originalContent.begin(), originalContent.end(),
                                        [&](const QString& w) { return rewrittenSet.contains(w); });
    if (static_cast<double>(retained) / static_cast<double>(originalContent.size()) <
        limits.minRetainedShare) {
        return reject(Verdict::rejectedTooShort);
    }
    return Decision{out, Verdict::accepted};
}

} // namespace quovant
