#include "formatting/transcript_guard.h"

#include <QHash>

#include "core/unicode_text.h"
#include "formatting/guard_text.h"
#include "formatting/rewrite_guard.h"
#include "formatting/spoken_numbers.h"

#include <algorithm>
#include <array>
#include <utility>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

using Verdict = TranscriptGuard::Verdict;

constexpr std::array<std::pair<Verdict, QStringView>, 9> kRawValues{{
    {Verdict::accepted, u"accepted"},
    {Verdict::skippedTooShort, u"skippedTooShort"},
    {Verdict::rejectedEmpty, u"rejectedEmpty"},
    {Verdict::rejectedTooLong, u"rejectedTooLong"},
    {Verdict::rejectedContentLoss, u"rejectedContentLoss"},
    {Verdict::rejectedInvention, u"rejectedInvention"},
    {Verdict::rejectedRefusal, u"rejectedRefusal"},
    {Verdict::formatterFailed, u"formatterFailed"},
    {Verdict::formatterDisabled, u"formatterDisabled"},
}};

char32_t codePointAt(QStringView text, qsizetype index) {
    const QChar c = text[index];
    if (c.isHighSurrogate() && index + 1 < text.size() && text[index + 1].isLowSurrogate()) {
        return QChar::surrogateToUcs4(c, text[index + 1]);
    }
    return c.unicode();
}

// A character belongs to a word when its base is a letter, a number or a lone mark; judging the
// whole character keeps "naïve" with a combining diaeresis in one piece.
bool isWordCharacter(char32_t base) {
    return unicode::isLetter(base) || unicode::isNumber(base) || unicode::isMark(base);
}

qsizetype characterCount(const QString& word) {
    // Below U+0300 every code unit is a whole character (no marks, no surrogates, and words hold
    // no line breaks), which spares the break iterator for most words.
    for (const QChar c : word) {
        if (c.unicode() >= 0x300) {
            return unicode::graphemeCount(word);
        }
    }
    return word.size();
}

// Content words: not fillers and longer than `minLength` user-perceived characters.
QStringList contentWords(const QStringList& words, qsizetype minLength) {
    const QSet<QString>& fillers = TranscriptGuard::fillers();
    QStringList result;
    for (const QString& word : words) {
        if (fillers.contains(word)) {
            continue;
        }
        if (characterCount(word) > minLength) {
            result.append(word);
        }
    }
    return result;
}

} // namespace

QStringList TranscriptGuard::words(const QString& text) {
    // Canonically equivalent spellings (precomposed or combining accents) must compare equal.
    const QString lower = unicode::toNfc(unicode::toLower(text));
    QStringList result;
    qsizetype wordStart = -1;
    // Below U+0300 each code unit is a whole character, so most dictations need no break
    // iterator.
    const bool simple =
        std::all_of(lower.cbegin(), lower.cend(), [](QChar c) { return c.unicode() < 0x300; });
    if (simple) {
        for (qsizetype i = 0; i < lower.size(); ++i) {
            if (isWordCharacter(lower[i].unicode())) {
                if (wordStart < 0) {
                    wordStart = i;
                }
            } else if (wordStart >= 0) {
                result.append(lower.mid(wordStart, i - wordStart));
                wordStart = -1;
            }
        }
        if (wordStart >= 0) {
            result.append(lower.mid(wordStart));
        }
        return result;
    }
    qsizetype start = 0;
    for (const qsizetype end : unicode::graphemeEnds(lower)) {
        if (isWordCharacter(codePointAt(lower, start))) {
            if (wordStart < 0) {
                wordStart = start;
            }
        } else if (wordStart >= 0) {
            result.append(lower.mid(wordStart, start - wordStart));
            wordStart = -1;
        }
        start = end;
    }
    if (wordStart >= 0) {
        result.append(lower.mid(wordStart));
    }
    return result;
}

QString TranscriptGuard::lightlyPunctuate(const QString& text) {
    const QString trimmed = unicode::trimmedWhitespace(text);
    if (trimmed.isEmpty()) {
        return {};
    }
    const QString first = unicode::leftGraphemes(trimmed, 1);
    const QString result = unicode::toUpper(first) + trimmed.mid(first.size());
    static const QStringList kEndings{u"."_s, u"!"_s, u"?"_s, u","_s, u":"_s, u";"_s};
    if (kEndings.contains(unicode::lastGrapheme(result))) {
        return result;
    }
    return result + u'.';
}

namespace {

using guard_text::LineBreaks;

// Word kinds a speaker corrects one by another without a cue ("tuesday wednesday").
enum class WordKind { other, weekday, month, number };

WordKind kindOf(const QString& word) {
    static const QSet<QString> kWeekdays{u"monday"_s,   u"tuesday"_s, u"wednesday"_s,
                                         u"thursday"_s, u"friday"_s,  u"saturday"_s,
                                         u"sunday"_s,   u"today"_s,   u"tomorrow"_s,
                                         u"tonight"_s,  u"yesterday"_s};
    static const QSet<QString> kMonths{
        u"january"_s, u"february"_s, u"march"_s,     u"april"_s,   u"may"_s,      u"june"_s,
        u"july"_s,    u"august"_s,   u"september"_s, u"october"_s, u"november"_s, u"december"_s};
    if (kWeekdays.contains(word)) {
        return WordKind::weekday;
    }
    if (kMonths.contains(word)) {
        return WordKind::month;
    }
    if (SpokenNumbers::isNumberWord(word) || (!word.isEmpty() && word.front().isDigit())) {
        return WordKind::number;
    }
    return WordKind::other;
}

// Words a clean-up may drop although they are not in the filler list: hesitations, discourse
// markers, colloquial forms the model writes out, and the small words a grammar fix changes.
bool isDroppable(const QString& word) {
    static const QSet<QString> kDroppable{
        u"umm"_s,     u"uhm"_s,     u"uhh"_s,    u"hm"_s,      u"eh"_s,       u"oh"_s,
        u"anyway"_s,  u"anyways"_s, u"alright"_s, u"totally"_s, u"honestly"_s, u"really"_s,
        u"pretty"_s,  u"stuff"_s,   u"whatever"_s, u"gonna"_s,  u"wanna"_s,    u"gotta"_s,
        u"kinda"_s,   u"sorta"_s,   u"cause"_s,  u"cuz"_s,     u"lemme"_s,    u"gimme"_s,
        u"ya"_s,      u"yep"_s,     u"yup"_s,    u"hey"_s,     u"do"_s,       u"does"_s,
        u"did"_s,     u"am"_s,      u"then"_s,   u"than"_s,    u"very"_s,     u"also"_s,
        u"too"_s,     u"ain"_s,     u"til"_s,    u"till"_s,    u"thing"_s,    u"things"_s};
    return kDroppable.contains(word) || RewriteGuard::stopWords().contains(word);
}

// Spoken words that become a symbol inside a written fact ("john at example dot com").
bool isSpokenSymbol(const QString& word) {
    static const QSet<QString> kSymbols{
        u"at"_s,      u"dot"_s,     u"slash"_s,  u"backslash"_s, u"dash"_s,    u"hyphen"_s,
        u"underscore"_s, u"colon"_s, u"point"_s, u"percent"_s,   u"dollar"_s,  u"dollars"_s,
        u"euro"_s,    u"euros"_s,   u"pound"_s,  u"pounds"_s,    u"cents"_s,   u"cent"_s,
        u"hash"_s,    u"hashtag"_s, u"plus"_s,   u"minus"_s,     u"equals"_s,  u"clock"_s,
        u"star"_s,    u"tilde"_s,   u"degrees"_s, u"times"_s,    u"over"_s,    u"bucks"_s};
    return kSymbols.contains(word);
}

bool hasSymbol(const QString& text) {
    static const QString kSymbols = u"@./\\-_:%$€£#+=*~°×"_s;
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) { return kSymbols.contains(c); });
}

// Cues with which a speaker abandons what they just said.
qsizetype correctionCueLength(const QStringList& words, qsizetype i) {
    const auto at = [&](qsizetype k) { return k < words.size() ? words[k] : QString(); };
    static const QSet<QString> kSingle{u"no"_s,     u"wait"_s,       u"sorry"_s,
                                       u"actually"_s, u"rather"_s,   u"correction"_s,
                                       u"oops"_s};
    if (kSingle.contains(at(i))) {
        return 1;
    }
    const QString pair = at(i) + u' ' + at(i + 1);
    static const QSet<QString> kPairs{u"i mean"_s,     u"i meant"_s,   u"scratch that"_s,
                                      u"strike that"_s, u"make that"_s, u"let me"_s};
    return kPairs.contains(pair) ? 2 : 0;
}

struct SpokenMark {
    QStringList words;
    QChar mark; // '\n' stands for any line break, '"' for any quotation mark
};

const QList<SpokenMark>& spokenMarks() {
    static const QList<SpokenMark> kMarks{
        {{u"full"_s, u"stop"_s}, u'.'},
        {{u"question"_s, u"mark"_s}, u'?'},
        {{u"exclamation"_s, u"mark"_s}, u'!'},
        {{u"exclamation"_s, u"point"_s}, u'!'},
        {{u"new"_s, u"paragraph"_s}, u'\n'},
        {{u"new"_s, u"line"_s}, u'\n'},
        {{u"open"_s, u"quote"_s}, u'"'},
        {{u"open"_s, u"quotes"_s}, u'"'},
        {{u"close"_s, u"quote"_s}, u'"'},
        {{u"close"_s, u"quotes"_s}, u'"'},
        {{u"end"_s, u"quote"_s}, u'"'},
        {{u"unquote"_s}, u'"'},
        {{u"period"_s}, u'.'},
        {{u"comma"_s}, u','},
        {{u"colon"_s}, u':'},
        {{u"semicolon"_s}, u';'},
    };
    return kMarks;
}

// A word before or after a punctuation word that shows the word itself is meant ("the comma is
// missing", "a period of quiet", "add a new line of code", "the grace period").
bool isLiteralUse(const QStringList& words, qsizetype first, qsizetype end) {
    static const QSet<QString> kBefore{
        u"the"_s,     u"a"_s,       u"an"_s,      u"this"_s,     u"that"_s,    u"these"_s,
        u"those"_s,   u"each"_s,    u"every"_s,   u"one"_s,      u"any"_s,
        u"extra"_s,   u"missing"_s, u"trailing"_s, u"another"_s, u"his"_s,     u"her"_s,
        u"my"_s,      u"your"_s,    u"our"_s,     u"their"_s,    u"its"_s,     u"same"_s,
        u"last"_s,    u"next"_s,    u"single"_s,  u"double"_s,   u"oxford"_s,  u"serial"_s,
        u"grace"_s,   u"trial"_s,   u"waiting"_s, u"cooling"_s,  u"billing"_s, u"reporting"_s,
        u"notice"_s,  u"probation"_s, u"free"_s};
    static const QSet<QString> kAfter{u"of"_s, u"key"_s, u"sign"_s, u"character"_s};
    return (first > 0 && kBefore.contains(words[first - 1])) ||
           (end < words.size() && kAfter.contains(words[end]));
}

// How many of each mark the text holds: '"' stands for any quotation mark, '\n' for any line
// break.
QHash<QChar, qsizetype> countMarks(const QString& text) {
    QHash<QChar, qsizetype> counts;
    for (const QChar c : text) {
        switch (c.unicode()) {
        case u'.':
        case u',':
        case u'?':
        case u'!':
        case u':':
        case u';':
            ++counts[c];
            break;
        case u'"':
        case u'\u201C':
        case u'\u201D':
        case u'\u201E':
        case u'\u00AB':
        case u'\u00BB':
            ++counts[u'"'];
            break;
        case u'\n':
        case u'\u2028':
        case u'\u2029':
            ++counts[u'\n'];
            break;
        default:
            break;
        }
    }
    return counts;
}

// Raw words that were spoken punctuation the answer turned into its mark. A phrase is credited
// only while the answer holds a matching mark beyond those the transcript already wrote, one
// mark per phrase, so a word like "stop" or "question" is never kept by a mark alone.
QList<bool> creditedPunctuation(const QStringList& words, const QString& raw, const QString& out,
                                qsizetype* lineBreaks) {
    QList<bool> credited(words.size(), false);
    QHash<QChar, qsizetype> available = countMarks(out);
    const QHash<QChar, qsizetype> written = countMarks(raw);
    for (auto it = written.cbegin(); it != written.cend(); ++it) {
        available[it.key()] -= it.value();
    }
    *lineBreaks = 0;
    qsizetype i = 0;
    while (i < words.size()) {
        qsizetype matched = 0;
        for (const SpokenMark& spoken : spokenMarks()) {
            const qsizetype n = spoken.words.size();
            if (i + n > words.size() || words[i] != spoken.words.front()) {
                continue;
            }
            bool same = true;
            for (qsizetype k = 1; k < n && same; ++k) {
                same = words[i + k] == spoken.words[k];
            }
            if (!same || isLiteralUse(words, i, i + n)) {
                continue;
            }
            matched = n;
            if (spoken.mark == u'\n') {
                *lineBreaks += spoken.words.back() == u"paragraph"_s ? 2 : 1;
            }
            qsizetype& left = available[spoken.mark];
            if (left > 0) {
                --left;
                for (qsizetype k = 0; k < n; ++k) {
                    credited[i + k] = true;
                }
            }
            break;
        }
        i += matched > 0 ? matched : 1;
    }
    return credited;
}

// Whether a raw word the answer dropped was dropped for a reason the clean-up is asked to
// act on: a filler, a repetition, a false start, a self-correction, a spelling fix, or a word
// that became a symbol.
bool dropIsExplained(const QStringList& words, qsizetype k, const QSet<QString>& outSet,
                     const QStringList& outOnly, const QStringList& knownTermsWritten,
                     const QString& out) {
    const QString& word = words[k];
    // Negations are counted on their own ("cannot" may become "can't").
    if (isDroppable(word) || guard_text::isNegator(word) || correctionCueLength(words, k) > 0 ||
        (k > 0 && correctionCueLength(words, k - 1) == 2)) {
        return true;
    }
    // Stutters and repeated phrases: "we we need", "i think i think".
    const auto same = [&](qsizetype a, qsizetype b, qsizetype n) {
        if (a < 0 || b < 0 || a + n > words.size() || b + n > words.size()) {
            return false;
        }
        for (qsizetype i = 0; i < n; ++i) {
            if (words[a + i] != words[b + i]) {
                return false;
            }
        }
        return true;
    };
    for (qsizetype n = 1; n <= 3; ++n) {
        for (qsizetype start = k - n + 1; start <= k; ++start) {
            if (same(start, start + n, n) || same(start, start - n, n)) {
                return true;
            }
        }
    }
    if (k + 1 < words.size() && words[k + 1].size() > word.size() &&
        words[k + 1].startsWith(word)) {
        return true;
    }
    for (qsizetype j = k + 1; j < words.size() && j <= k + 6; ++j) {
        if (correctionCueLength(words, j) > 0) {
            return true;
        }
    }
    const WordKind kind = kindOf(word);
    if (kind != WordKind::other) {
        for (qsizetype j = k + 1; j < words.size() && j <= k + 2; ++j) {
            if (kindOf(words[j]) == kind && outSet.contains(words[j])) {
                return true;
            }
        }
    }
    // Words the answer joined ("git hub" → "GitHub").
    if ((k + 1 < words.size() && outSet.contains(word + words[k + 1])) ||
        (k > 0 && outSet.contains(words[k - 1] + word))) {
        return true;
    }
    if (isSpokenSymbol(word) && hasSymbol(out)) {
        return true;
    }
    if (std::any_of(outOnly.cbegin(), outOnly.cend(), [&](const QString& candidate) {
            return guard_text::isSpellingFix(word, candidate);
        })) {
        return true;
    }
    // A known term the recogniser misheard ("kwovant" for "Quovant").
    const int limit = std::max<int>(2, int(word.size()) / 3);
    return std::any_of(knownTermsWritten.cbegin(), knownTermsWritten.cend(),
                       [&](const QString& term) {
                           return guard_text::editDistance(word, term, limit) <= limit;
                       });
}

// Corrections are spoken with "no" ("tuesday no wednesday"); such a "no" is a cue, not a
// negation, when the word before it was abandoned and the word after it kept.
qsizetype correctionNos(const QList<TextToken>& tokens, const QSet<QString>& outSet) {
    qsizetype count = 0;
    for (qsizetype i = 0; i < tokens.size(); ++i) {
        if (tokens[i].text != u"no"_s) {
            continue;
        }
        const QString next = i + 1 < tokens.size() ? tokens[i + 1].text : QString();
        const QString previous = i > 0 ? tokens[i - 1].text : QString();
        const bool cueFollows = next == u"wait"_s || next == u"sorry"_s ||
                                next == u"actually"_s || next == u"scratch"_s ||
                                next == u"make"_s || next == u"rather"_s ||
                                (next == u"i"_s && i + 2 < tokens.size() &&
                                 tokens[i + 2].text == u"mean"_s);
        const bool replaced = !previous.isEmpty() && !outSet.contains(previous) &&
                              !next.isEmpty() && outSet.contains(next);
        if (cueFollows || replaced) {
            ++count;
        }
    }
    return count;
}

QStringList firstWords(const QList<TextToken>& tokens, qsizetype count) {
    static const QSet<QString> kHesitations{u"um"_s, u"uh"_s,  u"erm"_s, u"er"_s,
                                            u"ah"_s, u"hmm"_s, u"mm"_s,  u"mhm"_s};
    QStringList result;
    for (const TextToken& token : tokens) {
        if (result.size() == count) {
            break;
        }
        if (!kHesitations.contains(token.text)) {
            result.append(token.text);
        }
    }
    return result;
}

bool asksAQuestion(const QString& text) {
    return text.contains(u'?') || text.contains(u'\uFF1F') || text.contains(u'\u00BF');
}

} // namespace

TranscriptGuard::Decision TranscriptGuard::evaluate(const QString& raw, const QString& formatted,
                                                    const QStringList& vocabulary) const {
    const QString out = unicode::trimmedWhitespace(formatted);
    const auto reject = [&](Verdict verdict) { return Decision{lightlyPunctuate(raw), verdict}; };

    if (out.isEmpty()) {
        return reject(Verdict::rejectedEmpty);
    }

    if (guard_text::startsWithAnyMarker(guard_text::markerForm(out), refusalMarkers())) {
        return reject(Verdict::rejectedRefusal);
    }
    const QList<TextToken> rawTokens = SpokenNumbers::tokens(raw);
    const QList<TextToken> outTokens = SpokenNumbers::tokens(out);
    // An answer to a dictated question: the question is gone, neither asked nor kept in form.
    if (guard_text::opensWithQuestion(rawTokens) && !asksAQuestion(out) &&
        firstWords(rawTokens, 2) != firstWords(outTokens, 2)) {
        return reject(Verdict::rejectedRefusal);
    }

    const QStringList rawWords = words(raw);
    const QStringList outWords = words(out);
    const qsizetype r = rawWords.size();
    const qsizetype f = outWords.size();
    const qsizetype slack = r < 5 ? 3 : 0;
    if (r > 0 && double(f) / double(r) > maxLengthRatio && f > r + slack) {
        return reject(Verdict::rejectedTooLong);
    }

    const QSet<QString> outSet(outWords.cbegin(), outWords.cend());
    const QSet<QString> rawSet(rawWords.cbegin(), rawWords.cend());
    const guard_text::SourceFacts facts(rawTokens, vocabulary);
    const QList<NumberRun> outRuns = SpokenNumbers::runs(outTokens);
    qsizetype spokenLineBreaks = 0;
    const QList<bool> credited = creditedPunctuation(rawWords, raw, out, &spokenLineBreaks);
    const QSet<QString> numbersKept = guard_text::numberWordsWritten(rawTokens, facts.runs(), outRuns);
    // Answer words the transcript does not hold, whole as written ("they're") and split.
    QStringList outOnly;
    for (const QString& word : outSet) {
        if (!rawSet.contains(word)) {
            outOnly.append(word);
        }
    }
    // The split words hold every whole token but those with an apostrophe.
    QSet<QString> rawTokenSet = rawSet;
    for (const TextToken& token : rawTokens) {
        if (token.text.contains(u'\'')) {
            rawTokenSet.insert(token.text);
        }
    }
    // Spelling fixes are looked for among a bounded number of new words: an answer with more
    // new words than that is no clean-up, and the search must stay cheap on hostile answers.
    constexpr qsizetype kSpellingCandidates = 48;
    for (const TextToken& token : outTokens) {
        if (!token.number && !rawTokenSet.contains(token.text) && token.text.contains(u'\'')) {
            outOnly.append(token.text);
        }
    }
    outOnly = outOnly.mid(0, kSpellingCandidates);
    QStringList knownTermsWritten;
    for (const QString& term : vocabulary) {
        for (const QString& word : words(term)) {
            if (outSet.contains(word) && !rawSet.contains(word)) {
                knownTermsWritten.append(word);
            }
        }
    }
    qsizetype content = 0;
    qsizetype retained = 0;
    QList<qsizetype> dropped;
    const QSet<QString>& fillerWords = fillers();
    for (qsizetype k = 0; k < r; ++k) {
        const QString& word = rawWords[k];
        if (fillerWords.contains(word) || characterCount(word) <= 1) {
            continue;
        }
        ++content;
        if (outSet.contains(word) || credited[k] || numbersKept.contains(word)) {
            ++retained;
        } else {
            dropped.append(k);
        }
    }
    if (content > 0) {
        if (double(retained) / double(content) < minContentRetention) {
            return reject(Verdict::rejectedContentLoss);
        }
        // Beyond what a clean-up removes, a few words per ten may go, never a short
        // utterance's.
        qsizetype unexplained = 0;
        for (const qsizetype k : dropped) {
            if (!dropIsExplained(rawWords, k, outSet, outOnly, knownTermsWritten, out) &&
                ++unexplained > content / 10) {
                return reject(Verdict::rejectedContentLoss);
            }
        }
    }
    const qsizetype rawNegations = guard_text::negationCount(rawTokens);
    const qsizetype outNegations = guard_text::negationCount(outTokens);
    if (outNegations < rawNegations - correctionNos(rawTokens, outSet)) {
        return reject(Verdict::rejectedContentLoss);
    }

    if (outNegations > rawNegations) {
        return reject(Verdict::rejectedInvention);
    }
    if (!guard_text::inventedFact(facts, out, outTokens, outRuns, guard_text::Initials::areNames)
             .isEmpty() ||
        guard_text::numbersMoved(facts.runs(), outRuns, true) ||
        guard_text::numbersRepeated(facts.runs(), outRuns)) {
        return reject(Verdict::rejectedInvention);
    }
    if (guard_text::addsDangerousText(raw, rawTokens, out, LineBreaks{spokenLineBreaks})) {
        return reject(Verdict::rejectedInvention);
    }

    const QStringList outContent = contentWords(outWords, 2);
    if (outContent.isEmpty()) {
        return {out, Verdict::accepted};
    }
    QSet<QString> fixedWords; // pieces of answer words that fix a transcript word's spelling
    qsizetype candidates = 0;
    for (const TextToken& token : outTokens) {
        if (token.number || rawTokenSet.contains(token.text) ||
            ++candidates > kSpellingCandidates) {
            continue;
        }
        for (const QString& said : rawTokenSet) {
            if (guard_text::isSpellingFix(said, token.text)) {
                for (const QString& piece : words(token.text)) {
                    fixedWords.insert(piece);
                }
                break;
            }
        }
    }
    qsizetype invented = 0;
    for (const QString& word : outContent) {
        // Numbers were judged above, in whatever form either side wrote them.
        const bool number = word.front().isDigit() || SpokenNumbers::isNumberWord(word);
        invented += rawSet.contains(word) || number || fixedWords.contains(word) ? 0 : 1;
    }
    if (invented >= maxInventedWords) {
        return reject(Verdict::rejectedInvention);
    }
    if (invented > 0 && double(invented) / double(outContent.size()) > maxInventedRatio) {
        return reject(Verdict::rejectedInvention);
    }
    return {out, Verdict::accepted};
}

QString TranscriptGuard::rawValue(Verdict verdict) {
    for (const auto& [value, raw] : kRawValues) {
        if (value == verdict) {
            return raw.toString();
        }
    }
    return {};
}

std::optional<TranscriptGuard::Verdict> TranscriptGuard::verdictFromRawValue(const QString& raw) {
    for (const auto& [value, text] : kRawValues) {
        if (text == raw) {
            return value;
        }
    }
    return std::nullopt;
}

const QSet<QString>& TranscriptGuard::fillers() {
    static const QSet<QString> kFillers{
        u"um"_s,        u"uh"_s,   u"erm"_s,  u"er"_s,   u"ah"_s,   u"hmm"_s,      u"mm"_s,
        u"mhm"_s,       u"like"_s, u"so"_s,   u"well"_s, u"just"_s, u"actually"_s, u"basically"_s,
        u"literally"_s, u"you"_s,  u"know"_s, u"i"_s,    u"mean"_s, u"sort"_s,     u"of"_s,
        u"kind"_s,      u"a"_s,    u"the"_s,  u"and"_s,  u"but"_s,  u"okay"_s,     u"ok"_s,
        u"right"_s,     u"yeah"_s, u"yes"_s,  u"no"_s,
    };
    return kFillers;
}

const QStringList& TranscriptGuard::refusalMarkers() {
    static const QStringList kMarkers{
        u"i can't"_s,         u"i cannot"_s,        u"i'm sorry"_s,
        u"i am sorry"_s,      u"i apologize"_s,     u"as an ai"_s,
        u"i'm unable"_s,      u"i am unable"_s,     u"as a language model"_s,
        u"here's the"_s,      u"here is the"_s,     u"sure, here"_s,
        u"rewritten text:"_s, u"formatted text:"_s, u"cleaned up:"_s,
        u"i'd be happy to"_s,
    };
    return kMarkers;
}

} // namespace quovant
