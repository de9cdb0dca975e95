#include "formatting/transcript_guard.h"

#include <QHash>

#include "core/unicode_text.h"

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

// A spoken punctuation word ("comma", "question mark", "new line") that the output turned into
// its mark is kept, not lost: converting it is exactly what the formatter is asked to do.
bool isSpokenMarkKept(const QString& word, const QString& out) {
    static const QHash<QString, QStringList> marks = {
        {u"period"_s, {u"."_s}},          {u"full"_s, {u"."_s}},
        {u"stop"_s, {u"."_s}},            {u"comma"_s, {u","_s}},
        {u"colon"_s, {u":"_s}},           {u"semicolon"_s, {u";"_s}},
        {u"question"_s, {u"?"_s}},        {u"exclamation"_s, {u"!"_s}},
        {u"mark"_s, {u"?"_s, u"!"_s}},    {u"point"_s, {u"!"_s}},
        {u"quote"_s, {u"\""_s, u"\u201C"_s, u"\u201D"_s}},
        {u"unquote"_s, {u"\""_s, u"\u201D"_s}},
        {u"open"_s, {u"\""_s, u"\u201C"_s}}, {u"close"_s, {u"\""_s, u"\u201D"_s}},
        {u"new"_s, {u"\n"_s}},           {u"line"_s, {u"\n"_s}},
        {u"paragraph"_s, {u"\n"_s}},
    };
    const auto it = marks.constFind(word);
    if (it == marks.constEnd()) {
        return false;
    }
    for (const QString& mark : *it) {
        if (out.contains(mark)) {
            return true;
        }
    }
    return false;
}

} // namespace

TranscriptGuard::Decision TranscriptGuard::evaluate(const QString& raw,
                                                    const QString& formatted) const {
    const QString out = unicode::trimmedWhitespace(formatted);
    const auto reject = [&](Verdict verdict) { return Decision{lightlyPunctuate(raw), verdict}; };

    if (out.isEmpty()) {
        return reject(Verdict::rejectedEmpty);
    }

    const QString lowerOut = unicode::toLower(out);
    for (const QString& marker : refusalMarkers()) {
        if (unicode::startsWithGraphemes(lowerOut, marker)) {
            return reject(Verdict::rejectedRefusal);
        }
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
    const QStringList rawContent = contentWords(rawWords, 1);
    if (!rawContent.isEmpty()) {
        qsizetype retained = 0;
        for (const QString& word : rawContent) {
            retained += outSet.contains(word) || isSpokenMarkKept(word, out) ? 1 : 0;
        }
        if (double(retained) / double(rawContent.size()) < minContentRetention) {
            return reject(Verdict::rejectedContentLoss);
        }
    }

    const QStringList outContent = contentWords(outWords, 2);
    if (outContent.isEmpty()) {
        return {out, Verdict::accepted};
    }
    const QSet<QString> rawSet(rawWords.cbegin(), rawWords.cend());
    qsizetype invented = 0;
    for (const QString& word : outContent) {
        invented += rawSet.contains(word) ? 0 : 1;
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
