#include "formatting/rewrite_guard.h"

#include "core/unicode_text.h"
#include "formatting/fact_pattern_starts.h"
#include "formatting/guard_text.h"
#include "formatting/spoken_numbers.h"
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

const QStringList& modelResponseMarkers() {
    static const QStringList kMarkers{
        u"sure,"_s,           u"here is the"_s,        u"here's the"_s,
        u"rewritten text:"_s, u"revised text:"_s,      u"formatted text:"_s,
        u"i can't"_s,         u"i cannot"_s,           u"i'm sorry"_s,
        u"as an ai"_s,        u"as a language model"_s};
    return kMarkers;
}

const QList<guard_text::CompiledFactPattern>& protectedPatterns() {
    static const QList<guard_text::CompiledFactPattern> kAll = guard_text::compileFactPatterns({
        {u"https?://[^\\s<>()]+"_s, fact_patterns::webAddress},
        {u"[A-Za-z0-9._%+-]+@[A-Za-z0-9.-]+\\.[A-Za-z]{2,}"_s, fact_patterns::email},
        {u"(?:[A-Za-z0-9_.-]+/)+[A-Za-z0-9_.-]+"_s, fact_patterns::path},
        {u"\\b[A-Za-z][A-Za-z0-9]*_[A-Za-z0-9_]+\\b"_s, fact_patterns::snakeCase},
        {u"\\b[A-Z]{2,}[A-Za-z0-9_]*\\b"_s, fact_patterns::acronym},
        {u"\\b[A-Z][A-Z0-9_]*\\d[A-Z0-9_]*\\b"_s, fact_patterns::upperCaseCode},
        {u"\\b\\d+(?::\\d+)?\\b"_s, fact_patterns::number},
    });
    return kAll;
}

// Names in any script: an upper-case letter followed by at least two lower-case letters.
const QList<guard_text::CompiledFactPattern>& capitalisedWord() {
    static const QList<guard_text::CompiledFactPattern> kCapitalised =
        guard_text::compileFactPatterns(
            {{u"\\b\\p{Lu}\\p{Ll}{2,}\\b"_s, fact_patterns::capitalisedInAnyScript}});
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
    return guard_text::startsWithAnyMarker(guard_text::markerForm(text), modelResponseMarkers());
}

QSet<QString> RewriteGuard::protectedTokens(const QString& text, const QStringList& vocabulary) {
    QSet<QString> tokens;
    for (const guard_text::CompiledFactPattern& pattern : protectedPatterns()) {
        for (const unicode::RegexMatch& match :
             pattern.regex->allMatchesWhere(text, pattern.mayStart)) {
            const QString& matched = match.groups.front();
            const QStringView token = trimmedPunctuation(matched);
            if (!token.isEmpty()) {
                tokens.insert(token.toString());
            }
        }
    }
    for (const guard_text::CompiledFactPattern& pattern : capitalisedWord()) {
        for (const unicode::RegexMatch& match :
             pattern.regex->allMatchesWhere(text, pattern.mayStart)) {
            const QString& word = match.groups.front();
            // A sentence-initial "The" or "Please" is grammar, not a name.
            if (match.start == 0 && stopWords().contains(unicode::toLower(word))) {
                continue;
            }
            tokens.insert(word);
        }
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

namespace {

// Pieces a contraction adds ("they're", "we'll"): a grammar fix writes them freely.
bool isContractionTail(const QString& word) {
    return word == u"re"_s || word == u"ll"_s || word == u"ve"_s;
}

bool isNumber(const QString& word) {
    return word.front().isDigit() || SpokenNumbers::isNumberWord(word);
}

} // namespace

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
    // Canonically equivalent texts look the same: replacing one with the other changes nothing.
    const QString composedOrig = unicode::toNfc(orig);
    const QString composedOut = unicode::toNfc(out);
    if (composedOut == composedOrig) {
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
    for (const QString& token : protectedTokens(composedOut, vocabulary)) {
        kept.insert(unicode::foldCaseAndDiacritics(token));
    }
    for (const QString& token : protectedTokens(composedOrig, vocabulary)) {
        if (!kept.contains(unicode::foldCaseAndDiacritics(token))) {
            return reject(Verdict::rejectedProtectedContent);
        }
    }
    // Facts the selection does not hold in any form, numbers that moved, text that acts when
    // typed.
    const QList<TextToken> originalTokens = SpokenNumbers::tokens(composedOrig);
    const QList<TextToken> rewrittenTokens = SpokenNumbers::tokens(composedOut);
    const guard_text::SourceFacts facts(originalTokens, vocabulary);
    const QList<NumberRun> rewrittenRuns = SpokenNumbers::runs(rewrittenTokens);
    const QList<NumberRun> statedNumbers =
        guard_text::withoutListNumbers(composedOut, rewrittenTokens, rewrittenRuns);
    const bool keepsOrder =
        command == RewriteCommand::fixGrammar || command == RewriteCommand::bulletList;
    const guard_text::LineBreaks lineBreaks{command == RewriteCommand::bulletList
                                                ? guard_text::LineBreaks::kAny
                                                : 0};
    if (!guard_text::inventedFact(facts, composedOut, rewrittenTokens, statedNumbers,
                                  guard_text::Initials::mayBeWords)
             .isEmpty() ||
        guard_text::numbersMoved(facts.runs(), statedNumbers, keepsOrder) ||
        guard_text::numbersRepeated(facts.runs(), statedNumbers) ||
        guard_text::addsDangerousText(composedOrig, originalTokens, composedOut, lineBreaks)) {
        return reject(Verdict::rejectedProtectedContent);
    }

    const QStringList originalContent = contentWords(originalWords);
    const QStringList rewrittenContent = contentWords(rewrittenWords);
    const QSet<QString> originalSet(originalContent.begin(), originalContent.end());
    const QSet<QString> rewrittenSet(rewrittenContent.begin(), rewrittenContent.end());
    // Fixing grammar may respell a word or contract it: it stays the same word.
    const bool fixing = command == RewriteCommand::fixGrammar;
    QSet<QString> allOriginal(originalWords.begin(), originalWords.end());
    for (const TextToken& token : originalTokens) {
        allOriginal.insert(token.text);
    }
    // New words of a grammar fix that respell an original word; a bounded number is looked at,
    // which keeps hostile rewrites cheap (a fix has few).
    constexpr qsizetype kSpellingCandidates = 48;
    QStringList newWords;
    QSet<QString> fixedPieces;
    if (fixing) {
        for (const TextToken& token : rewrittenTokens) {
            if (token.number || allOriginal.contains(token.text)) {
                continue;
            }
            if (newWords.size() == kSpellingCandidates) {
                break;
            }
            newWords.append(token.text);
            const bool fix = std::any_of(allOriginal.cbegin(), allOriginal.cend(),
                                         [&](const QString& said) {
                                             return guard_text::isSpellingFix(said, token.text);
                                         });
            if (fix) {
                for (const QString& piece : TranscriptGuard::words(token.text)) {
                    fixedPieces.insert(piece);
                }
            }
        }
    }
    const auto respelled = [&](const QString& word) {
        return fixing && std::any_of(newWords.cbegin(), newWords.cend(), [&](const QString& n) {
                   return guard_text::isSpellingFix(word, n);
               });
    };

    // Negations are weighed by their count below ("do not" may become "don't").
    QSet<QString> negationPieces;
    for (const QList<TextToken>* tokens : {&originalTokens, &rewrittenTokens}) {
        for (const TextToken& token : *tokens) {
            if (!token.number && guard_text::isNegator(token.text)) {
                for (const QString& piece : TranscriptGuard::words(token.text)) {
                    negationPieces.insert(piece);
                }
            }
        }
    }
    if (!rewrittenContent.isEmpty()) {
        const auto novel =
            std::count_if(rewrittenContent.begin(), rewrittenContent.end(), [&](const QString& w) {
                if (originalSet.contains(w) || isNumber(w) || negationPieces.contains(w)) {
                    return false;
                }
                return !(fixing && (isContractionTail(w) || fixedPieces.contains(w)));
            });
        if (static_cast<double>(novel) / static_cast<double>(rewrittenContent.size()) >
            limits.maxNovelShare) {
            return reject(Verdict::rejectedMeaningChange);
        }
    }
    if (guard_text::negationCount(originalTokens) != guard_text::negationCount(rewrittenTokens)) {
        return reject(Verdict::rejectedMeaningChange);
    }
    if (originalContent.isEmpty()) {
        return Decision{out, Verdict::accepted};
    }
    const QSet<QString> numbersWritten =
        guard_text::numberWordsWritten(originalTokens, facts.runs(), rewrittenRuns);
    const auto retained =
        std::count_if(originalContent.begin(), originalContent.end(), [&](const QString& w) {
            return rewrittenSet.contains(w) || numbersWritten.contains(w) ||
                   negationPieces.contains(w) || respelled(w);
        });
    if (static_cast<double>(retained) / static_cast<double>(originalContent.size()) <
        limits.minRetainedShare) {
        return reject(Verdict::rejectedTooShort);
    }
    return Decision{out, Verdict::accepted};
}

} // namespace quovant
