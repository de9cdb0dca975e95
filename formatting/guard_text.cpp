#include "formatting/guard_text.h"

#include "formatting/transcript_guard.h"

#include <algorithm>
#include <cstdio>
#include <array>
#include <optional>
#include <vector>

using namespace Qt::StringLiterals;

namespace quovant::guard_text {

namespace {

bool isApostrophe(QChar c) {
    return c == u'\'' || c == u'\u2019' || c == u'\u2018' || c == u'\u02BC' || c == u'\uFF07';
}

QString withStraightApostrophes(QString text) {
    for (QChar& c : text) {
        if (isApostrophe(c)) {
            c = u'\'';
        }
    }
    return text;
}

bool isHesitation(const QString& word) {
    static const QSet<QString> kHesitations{u"um"_s, u"uh"_s,  u"erm"_s, u"er"_s,
                                            u"ah"_s, u"hmm"_s, u"mm"_s,  u"mhm"_s};
    return kHesitations.contains(word);
}

// Pieces a contraction adds to a word ("john's", "they're"); they carry no fact of their own.
bool isContractionTail(QStringView piece) {
    return piece == u"s" || piece == u"ll" || piece == u"re" || piece == u"ve" || piece == u"d" ||
           piece == u"m" || piece == u"t";
}

// "fetchUser" → fetch, User; "PR42" → PR, 42: the parts an identifier is spoken as.
QStringList identifierParts(const QString& original) {
    QStringList parts;
    QString current;
    for (qsizetype i = 0; i < original.size(); ++i) {
        const QChar c = original[i];
        if (!c.isLetterOrNumber() && !c.isMark()) {
            if (!current.isEmpty()) {
                parts.append(current);
                current.clear();
            }
            continue;
        }
        if (!current.isEmpty()) {
            const QChar previous = current.back();
            const bool lowerToUpper = previous.isLower() && c.isUpper();
            const bool letterDigit = previous.isLetter() != c.isLetter() && !c.isMark();
            if (lowerToUpper || letterDigit) {
                parts.append(current);
                current.clear();
            }
        }
        current += c;
    }
    if (!current.isEmpty()) {
        parts.append(current);
    }
    return parts;
}

const QHash<QString, QStringList>& abbreviations() {
    static const QHash<QString, QStringList> kAbbreviations{
        {u"mr"_s, {u"mister"_s}},
        {u"mrs"_s, {u"missus"_s, u"misses"_s}},
        {u"ms"_s, {u"miss"_s}},
        {u"dr"_s, {u"doctor"_s, u"drive"_s}},
        {u"st"_s, {u"street"_s, u"saint"_s}},
        {u"jr"_s, {u"junior"_s}},
        {u"sr"_s, {u"senior"_s}},
        {u"vs"_s, {u"versus"_s}},
        {u"etc"_s, {u"etcetera"_s, u"cetera"_s}},
        {u"ok"_s, {u"okay"_s}},
        {u"okay"_s, {u"ok"_s}},
        {u"am"_s, {u"morning"_s}},
        {u"pm"_s, {u"afternoon"_s, u"evening"_s}},
        {u"approx"_s, {u"approximately"_s}},
        {u"dept"_s, {u"department"_s}},
        {u"ave"_s, {u"avenue"_s}},
    };
    return kAbbreviations;
}

struct Chunk {
    qsizetype start;
    qsizetype end;
    bool technical;
};

// White-space-separated chunks of the text, marking those written like addresses, paths and
// identifiers, whose every word is an exact fact.
std::vector<Chunk> chunks(const QString& text) {
    std::vector<Chunk> result;
    qsizetype i = 0;
    while (i < text.size()) {
        while (i < text.size() && text[i].isSpace()) {
            ++i;
        }
        const qsizetype start = i;
        bool technical = false;
        while (i < text.size() && !text[i].isSpace()) {
            const QChar c = text[i];
            if (c == u'@' || c == u'/' || c == u'_' || c == u'\\') {
                technical = true;
            } else if (c == u'.' && i > start && i + 1 < text.size() &&
                       text[i - 1].isLetterOrNumber() && text[i + 1].isLetter()) {
                technical = true;
            }
            ++i;
        }
        if (i > start) {
            result.push_back({start, i, technical});
        }
    }
    return result;
}

bool isPronounI(const QString& word) {
    return word == u"i"_s || word.startsWith(u"i'"_s);
}

// Pronouns, articles, auxiliaries and their contractions: words a grammar fix may bring in.
bool isFunctionWord(const QString& word) {
    static const QSet<QString> kWords{
        u"a"_s,    u"an"_s,   u"and"_s,   u"are"_s,   u"as"_s,    u"at"_s,    u"be"_s,
        u"been"_s, u"but"_s,  u"by"_s,    u"can"_s,   u"could"_s, u"for"_s,   u"from"_s,
        u"had"_s,  u"has"_s,  u"have"_s,  u"he"_s,    u"her"_s,   u"here"_s,  u"him"_s,
        u"his"_s,  u"i"_s,    u"if"_s,    u"in"_s,    u"is"_s,    u"it"_s,    u"its"_s,
        u"me"_s,   u"my"_s,   u"of"_s,    u"on"_s,    u"or"_s,    u"our"_s,   u"she"_s,
        u"so"_s,   u"that"_s, u"the"_s,   u"their"_s, u"them"_s,  u"there"_s, u"they"_s,
        u"this"_s, u"to"_s,   u"us"_s,    u"was"_s,   u"we"_s,    u"were"_s,  u"will"_s,
        u"with"_s, u"would"_s, u"you"_s,  u"your"_s,  u"do"_s,    u"does"_s,  u"did"_s,
        u"am"_s,   u"let"_s,  u"what"_s,  u"who"_s,   u"these"_s, u"those"_s, u"an"_s};
    const QStringList pieces = word.split(u'\'', Qt::SkipEmptyParts);
    return !pieces.isEmpty() && kWords.contains(pieces.front()) &&
           std::all_of(pieces.cbegin() + 1, pieces.cend(),
                       [](const QString& piece) { return isContractionTail(piece); });
}

bool hasUpper(const QString& original) {
    return std::any_of(original.cbegin(), original.cend(), [](QChar c) { return c.isUpper(); });
}

// "Capitalised": an upper-case letter followed only by lower-case letters (a name or a
// sentence's first word), as opposed to acronyms and mixed-case identifiers.
bool isCapitalised(const QString& original) {
    if (original.isEmpty() || !original.front().isUpper()) {
        return false;
    }
    return std::none_of(original.cbegin() + 1, original.cend(),
                        [](QChar c) { return c.isUpper(); });
}

bool startsSentence(const QString& text, const QList<TextToken>& tokens, qsizetype index) {
    const qsizetype gapStart = index == 0 ? 0 : tokens[index - 1].end;
    for (qsizetype i = gapStart; i < tokens[index].start; ++i) {
        const QChar c = text[i];
        if (c == u'.' || c == u'!' || c == u'?' || c == u':' || c == u';' || c == u'\n' ||
            c == u'\r' || c == u'\u2022' || c == u'\u2028' || c == u'\u2029') {
            return true;
        }
    }
    return index == 0;
}

bool runMatches(const NumberRun& answer, const QSet<QString>& forms) {
    for (const QString& reading : answer.wholeReadings) {
        if (forms.contains(reading)) {
            return true;
        }
    }
    return !answer.groups.isEmpty() &&
           std::all_of(answer.groups.cbegin(), answer.groups.cend(),
                       [&](const QString& group) { return forms.contains(group); });
}

bool isBidiOrInvisible(char32_t c) {
    return c == 0x061C || c == 0x200B || c == 0x200C || c == 0x200D || c == 0x200E ||
           c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2060 && c <= 0x2064) ||
           (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF || c == 0x180E;
}

bool isControl(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

bool isLineBreak(char32_t c) {
    return c == u'\n' || c == u'\r' || c == 0x85 || c == 0x2028 || c == 0x2029;
}

struct CharacterCounts {
    qsizetype lineBreaks = 0;
    QHash<char32_t, qsizetype> others; // controls, bidi and zero-width characters
};

CharacterCounts countCharacters(const QString& text) {
    CharacterCounts counts;
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t c = text[i].unicode();
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(text[i], text[i + 1]);
            ++i;
        }
        if (isLineBreak(c)) {
            // CR LF is one break.
            if (!(c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')) {
                ++counts.lineBreaks;
            }
        } else if (isControl(c) || isBidiOrInvisible(c)) {
            ++counts.others[c];
        }
    }
    return counts;
}

enum Operator { andAnd, orOr, commandSubstitution, backquote, semicolon, pipe, redirect, kOperators };

std::array<qsizetype, kOperators> countOperators(QStringView text) {
    std::array<qsizetype, kOperators> counts{};
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const QChar next = i + 1 < text.size() ? text[i + 1] : QChar();
        if (c == u'&' && next == u'&') {
            ++counts[andAnd];
            ++i;
        } else if (c == u'|' && next == u'|') {
            ++counts[orOr];
            ++i;
        } else if (c == u'$' && next == u'(') {
            ++counts[commandSubstitution];
            ++i;
        } else if (c == u'`') {
            ++counts[backquote];
        } else if (c == u';' || c == u'\uFF1B') {
            ++counts[semicolon];
        } else if (c == u'|') {
            ++counts[pipe];
        } else if (c == u'>') {
            ++counts[redirect];
        }
    }
    return counts;
}

struct SpokenOperator {
    std::vector<QString> words;
    Operator op;
};

const std::vector<SpokenOperator>& spokenOperators() {
    static const std::vector<SpokenOperator> kSpoken{
        {{u"semicolon"_s}, semicolon},
        {{u"semi"_s, u"colon"_s}, semicolon},
        {{u"pipe"_s}, pipe},
        {{u"vertical"_s, u"bar"_s}, pipe},
        {{u"greater"_s, u"than"_s}, redirect},
        {{u"redirect"_s}, redirect},
        {{u"backtick"_s}, backquote},
        {{u"backticks"_s}, backquote},
        {{u"back"_s, u"tick"_s}, backquote},
        {{u"backquote"_s}, backquote},
        {{u"back"_s, u"quote"_s}, backquote},
        {{u"double"_s, u"ampersand"_s}, andAnd},
        {{u"ampersand"_s, u"ampersand"_s}, andAnd},
        {{u"double"_s, u"pipe"_s}, orOr},
        {{u"pipe"_s, u"pipe"_s}, orOr},
        {{u"dollar"_s, u"paren"_s}, commandSubstitution},
        {{u"dollar"_s, u"open"_s, u"paren"_s}, commandSubstitution},
        {{u"dollar"_s, u"parenthesis"_s}, commandSubstitution},
        {{u"command"_s, u"substitution"_s}, commandSubstitution},
    };
    return kSpoken;
}

} // namespace

QString markerForm(const QString& text) {
    return withStraightApostrophes(unicode::toLower(unicode::toNfc(text)));
}

bool startsWithAnyMarker(const QString& markerFormText, const QStringList& markers) {
    return std::any_of(markers.cbegin(), markers.cend(), [&](const QString& marker) {
        return unicode::startsWithGraphemes(markerFormText, marker);
    });
}

bool isNegator(const QString& token) {
    static const QSet<QString> kNegators{
        u"not"_s,     u"no"_s,       u"never"_s,   u"none"_s,     u"nothing"_s,  u"nobody"_s,
        u"noone"_s,   u"nowhere"_s,  u"neither"_s, u"nor"_s,      u"without"_s,  u"cannot"_s,
        u"dont"_s,    u"doesnt"_s,   u"didnt"_s,   u"cant"_s,     u"wont"_s,     u"isnt"_s,
        u"arent"_s,   u"wasnt"_s,    u"werent"_s,  u"couldnt"_s,  u"shouldnt"_s, u"wouldnt"_s,
        u"havent"_s,  u"hasnt"_s,    u"hadnt"_s,   u"aint"_s,     u"mustnt"_s,   u"neednt"_s,
        u"shant"_s,   u"mightnt"_s,
    };
    return kNegators.contains(token) || token.endsWith(u"n't"_s);
}

qsizetype negationCount(const QList<TextToken>& tokens) {
    qsizetype count = 0;
    for (qsizetype i = 0; i < tokens.size(); ++i) {
        if (tokens[i].number || !isNegator(tokens[i].text)) {
            continue;
        }
        if (i > 0 && tokens[i - 1].text == tokens[i].text) {
            continue; // "no no no" is one no
        }
        ++count;
    }
    return count;
}

std::shared_ptr<const unicode::Regex> compiledOrNull(const QString& pattern,
                                                     bool caseInsensitive) {
    // unicode::Regex aborts on a bad pattern, so the pattern is tried first.
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError{};
    const std::unique_ptr<icu::RegexPattern> probe(icu::RegexPattern::compile(
        unicode::aliasIcu(pattern), caseInsensitive ? UREGEX_CASE_INSENSITIVE : 0, parseError,
        status));
    if (U_FAILURE(status) || !probe) {
        std::fprintf(stderr, "Skipped a regular expression that does not compile (%s): %s\n",
                     u_errorName(status), pattern.toUtf8().constData());
        return nullptr;
    }
    return std::make_shared<const unicode::Regex>(pattern, caseInsensitive);
}

namespace {

// The words a negation bears on: the next few words that are neither negations nor small
// function words.
QStringList negatedWords(const QList<TextToken>& tokens, qsizetype at) {
    static const QSet<QString> kSkipped{u"the"_s, u"a"_s,   u"an"_s,  u"to"_s,  u"be"_s,
                                        u"do"_s,  u"it"_s,  u"any"_s, u"we"_s,  u"you"_s,
                                        u"is"_s,  u"are"_s, u"was"_s, u"our"_s, u"your"_s};
    QStringList words;
    for (qsizetype k = at + 1; k < tokens.size() && words.size() < 3; ++k) {
        const QString& word = tokens[k].text;
        if (!tokens[k].number && (kSkipped.contains(word) || isNegator(word))) {
            continue;
        }
        words.append(word);
    }
    return words;
}

} // namespace

bool negatesOnlyWhatSourceNegated(const QList<TextToken>& source,
                                  const QList<TextToken>& answer) {
    QStringList negatedInSource;
    for (qsizetype i = 0; i < source.size(); ++i) {
        if (!source[i].number && isNegator(source[i].text)) {
            negatedInSource += negatedWords(source, i);
        }
    }
    for (qsizetype i = 0; i < answer.size(); ++i) {
        if (answer[i].number || !isNegator(answer[i].text)) {
            continue;
        }
        const QStringList negated = negatedWords(answer, i);
        const bool restated = std::any_of(negated.cbegin(), negated.cend(), [&](const QString& w) {
            return std::any_of(negatedInSource.cbegin(), negatedInSource.cend(),
                               [&](const QString& s) { return isSpellingFix(s, w); });
        });
        if (!restated) {
            return false;
        }
    }
    return true;
}

QList<CompiledFactPattern> compileFactPatterns(const QList<FactPattern>& patterns) {
    QList<CompiledFactPattern> compiled;
    for (const FactPattern& pattern : patterns) {
        if (std::shared_ptr<const unicode::Regex> regex = compiledOrNull(pattern.pattern)) {
            compiled.append({std::move(regex), pattern.mayStart});
        }
    }
    return compiled;
}

SourceFacts::SourceFacts(const QList<TextToken>& tokens, const QStringList& vocabulary)
    : m_tokens(tokens), m_runs(SpokenNumbers::runs(tokens)) {
    m_words.reserve(tokens.size() * 2);
    const auto add = [&](const QString& word) {
        if (word.isEmpty()) {
            return;
        }
        // Token texts are lower-case already; only letters beyond ASCII need folding.
        const bool ascii = std::all_of(word.cbegin(), word.cend(),
                                       [](QChar c) { return c.unicode() < 0x80; });
        m_words.insert(ascii ? word : unicode::foldCaseAndDiacritics(word));
    };
    for (const TextToken& token : tokens) {
        add(token.text);
        if (token.text.contains(u'\'')) {
            add(QString(token.text).remove(u'\''));
            for (const QString& piece : token.text.split(u'\'', Qt::SkipEmptyParts)) {
                add(piece);
            }
        }
        if (!token.number && token.original != token.text) {
            const QStringList parts = identifierParts(token.original);
            if (parts.size() > 1) {
                for (const QString& part : parts) {
                    add(unicode::toLower(part));
                }
            }
        }
    }
    for (const QString& term : vocabulary) {
        QString joined;
        for (const TextToken& token : SpokenNumbers::tokens(term)) {
            add(token.text);
            joined += token.text;
        }
        add(joined);
    }
    for (const NumberRun& run : m_runs) {
        m_numberForms.unite(run.forms);
    }
}

bool SourceFacts::knows(const QString& folded) const {
    return m_words.contains(folded);
}

bool SourceFacts::knowsJoined(const QString& folded) const {
    for (qsizetype i = 0; i + 1 < m_tokens.size(); ++i) {
        const QString& first = m_tokens[i].text;
        if (!folded.startsWith(unicode::foldCaseAndDiacritics(first))) {
            continue;
        }
        QString joined = unicode::foldCaseAndDiacritics(first);
        for (qsizetype k = i + 1; k < m_tokens.size() && joined.size() < folded.size(); ++k) {
            joined += unicode::foldCaseAndDiacritics(m_tokens[k].text);
            if (joined == folded) {
                return true;
            }
            if (!folded.startsWith(joined)) {
                break;
            }
        }
    }
    return false;
}

bool SourceFacts::knowsWord(const QString& word, const QString& original) const {
    const QString folded = unicode::foldCaseAndDiacritics(word);
    if (knows(folded)) {
        return true;
    }
    if (folded.contains(u'\'')) {
        if (knows(QString(folded).remove(u'\''))) {
            return true;
        }
        const QStringList pieces = folded.split(u'\'', Qt::SkipEmptyParts);
        const bool allKnown = std::all_of(pieces.cbegin(), pieces.cend(), [&](const QString& p) {
            return isContractionTail(p) || knows(p);
        });
        if (allKnown && !pieces.isEmpty() && !isContractionTail(pieces.front())) {
            return true;
        }
    }
    const QStringList parts = identifierParts(original);
    if (parts.size() > 1 &&
        std::all_of(parts.cbegin(), parts.cend(), [&](const QString& part) {
            const QString p = unicode::foldCaseAndDiacritics(part);
            return knows(p) || (p.front().isDigit() && m_numberForms.contains(p));
        })) {
        return true;
    }
    // Number agreement: "report" for "reports".
    if (folded.size() > 3 && folded.endsWith(u's') && knows(folded.chopped(1))) {
        return true;
    }
    if (knows(folded + u's')) {
        return true;
    }
    const auto expansions = abbreviations().constFind(folded);
    if (expansions != abbreviations().constEnd() &&
        std::any_of(expansions->cbegin(), expansions->cend(),
                    [&](const QString& expansion) { return knows(expansion); })) {
        return true;
    }
    return knowsJoined(folded);
}

QString inventedFact(const SourceFacts& source, const QString& answer,
                     const QList<TextToken>& answerTokens, const QList<NumberRun>& answerRuns,
                     Initials initials) {
    for (const NumberRun& run : answerRuns) {
        if (!run.ambiguous && !runMatches(run, source.numberForms())) {
            return run.groups.join(u' ');
        }
    }
    const QString text = unicode::toNfc(answer);
    const std::vector<Chunk> allChunks = chunks(text);
    std::size_t chunk = 0;
    for (qsizetype i = 0; i < answerTokens.size(); ++i) {
        const TextToken& token = answerTokens[i];
        if (token.number) {
            continue;
        }
        while (chunk < allChunks.size() && allChunks[chunk].end <= token.start) {
            ++chunk;
        }
        const bool technical = chunk < allChunks.size() && allChunks[chunk].start <= token.start &&
                               allChunks[chunk].technical;
        bool fact = technical;
        if (!fact && hasUpper(token.original) && !isPronounI(token.text) &&
            unicode::graphemeCount(token.original) >= 2) {
            // A sentence may begin with a small word the source did not hold ("They're" for
            // "their"); a rewrite may begin one with any word.
            const bool initial =
                isCapitalised(token.original) && startsSentence(text, answerTokens, i);
            fact = !(initial && (initials == Initials::mayBeWords || isFunctionWord(token.text)));
        }
        if (fact && !source.knowsWord(token.text, token.original)) {
            return token.original;
        }
    }
    return {};
}

bool numbersMoved(const QList<NumberRun>& source, const QList<NumberRun>& answer,
                  bool orderMatters) {
    qsizetype last = -1;
    for (const NumberRun& run : answer) {
        if (run.ambiguous) {
            continue;
        }
        std::optional<qsizetype> ahead;
        bool behind = false;
        bool countsTheSame = false;
        bool wordCountedElsewhere = false;
        for (qsizetype s = 0; s < source.size(); ++s) {
            const bool matches = runMatches(run, source[s].forms);
            if (matches) {
                if (s >= last && !ahead) {
                    ahead = s;
                } else if (s < last) {
                    behind = true;
                }
            }
            if (!run.counted.isEmpty() && source[s].counted == run.counted) {
                (matches ? countsTheSame : wordCountedElsewhere) = true;
            }
        }
        if (wordCountedElsewhere && !countsTheSame) {
            return true;
        }
        if (ahead) {
            last = *ahead;
        } else if (behind && orderMatters) {
            return true;
        }
    }
    return false;
}

QSet<QString> numberWordsWritten(const QList<TextToken>& sourceTokens,
                                 const QList<NumberRun>& source,
                                 const QList<NumberRun>& answer) {
    QSet<QString> answerReadings;
    for (const NumberRun& run : answer) {
        answerReadings.unite(run.wholeReadings);
        for (const QString& group : run.groups) {
            answerReadings.insert(group);
        }
    }
    QSet<QString> written;
    for (const NumberRun& run : source) {
        const bool found = std::any_of(run.forms.cbegin(), run.forms.cend(), [&](const QString& f) {
            return answerReadings.contains(f);
        });
        if (!found) {
            continue;
        }
        for (qsizetype t = run.first; t < run.end; ++t) {
            for (const QString& piece : TranscriptGuard::words(sourceTokens[t].text)) {
                written.insert(piece);
            }
        }
    }
    return written;
}

bool numbersRepeated(const QList<NumberRun>& source, const QList<NumberRun>& answer) {
    QHash<QString, qsizetype> available;
    QSet<QString> allForms;
    for (const NumberRun& run : source) {
        QHash<QString, qsizetype> inRun;
        for (const QString& group : run.groups) {
            ++inRun[group];
        }
        for (const QString& form : run.forms) {
            available[form] += std::max<qsizetype>(1, inRun.value(form));
        }
        allForms.unite(run.forms);
    }
    QHash<QString, qsizetype> needed;
    for (const NumberRun& run : answer) {
        if (run.ambiguous) {
            continue;
        }
        std::optional<QString> whole;
        if (run.groups.size() > 1) {
            for (const QString& reading : run.wholeReadings) {
                if (allForms.contains(reading)) {
                    whole = reading;
                    break;
                }
            }
        }
        if (whole) {
            ++needed[*whole];
        } else {
            for (const QString& group : run.groups) {
                ++needed[group];
            }
        }
    }
    for (auto it = needed.cbegin(); it != needed.cend(); ++it) {
        if (it.value() > available.value(it.key())) {
            return true;
        }
    }
    return false;
}

QList<NumberRun> withoutListNumbers(const QString& answer, const QList<TextToken>& tokens,
                                    const QList<NumberRun>& runs) {
    const QString text = unicode::toNfc(answer);
    QList<NumberRun> kept;
    for (const NumberRun& run : runs) {
        const TextToken& first = tokens[run.first];
        bool lineStart = true;
        for (qsizetype i = first.start - 1; i >= 0 && text[i] != u'\n'; --i) {
            if (!text[i].isSpace() && text[i] != u'-' && text[i] != u'*') {
                lineStart = false;
                break;
            }
        }
        const qsizetype after = tokens[run.end - 1].end;
        const bool marker = run.end == run.first + 1 && first.number && after < text.size() &&
                            (text[after] == u'.' || text[after] == u')') &&
                            (after + 1 == text.size() || text[after + 1].isSpace());
        if (!(lineStart && marker)) {
            kept.append(run);
        }
    }
    return kept;
}

bool addsDangerousText(const QString& source, const QList<TextToken>& sourceTokens,
                       const QString& answer, LineBreaks lineBreaks, bool codeSpans) {
    const CharacterCounts said = countCharacters(source);
    const CharacterCounts written = countCharacters(answer);
    if (lineBreaks.extra != LineBreaks::kAny &&
        written.lineBreaks > said.lineBreaks + lineBreaks.extra) {
        return true;
    }
    for (auto it = written.others.cbegin(); it != written.others.cend(); ++it) {
        const bool layout = it.key() == u'\t' && lineBreaks.extra == LineBreaks::kAny;
        if (!layout && it.value() > said.others.value(it.key())) {
            return true;
        }
    }
    const std::array<qsizetype, kOperators> inAnswer = countOperators(answer);
    if (std::all_of(inAnswer.cbegin(), inAnswer.cend(), [](qsizetype n) { return n == 0; })) {
        return false;
    }
    std::array<qsizetype, kOperators> allowed = countOperators(source);
    for (qsizetype i = 0; i < sourceTokens.size(); ++i) {
        for (const SpokenOperator& spoken : spokenOperators()) {
            const qsizetype n = qsizetype(spoken.words.size());
            if (i + n > sourceTokens.size()) {
                continue;
            }
            bool match = true;
            for (qsizetype k = 0; k < n && match; ++k) {
                match = sourceTokens[i + k].text == spoken.words[std::size_t(k)];
            }
            if (match) {
                ++allowed[spoken.op];
            }
        }
    }
    for (int op = 0; op < kOperators; ++op) {
        if (codeSpans && op == backquote) {
            continue;
        }
        if (inAnswer[op] > allowed[op]) {
            return true;
        }
    }
    return false;
}

bool opensWithQuestion(const QList<TextToken>& tokens) {
    static const QSet<QString> kQuestionWords{u"what"_s,  u"why"_s,   u"how"_s,
                                              u"who"_s,   u"which"_s, u"where"_s,
                                              u"when"_s,  u"whose"_s, u"whom"_s};
    static const QSet<QString> kAuxiliaries{
        u"is"_s,      u"are"_s,     u"was"_s,       u"were"_s,      u"do"_s,       u"does"_s,
        u"did"_s,     u"can"_s,     u"could"_s,     u"would"_s,     u"should"_s,   u"will"_s,
        u"shall"_s,   u"may"_s,     u"might"_s,     u"must"_s,      u"has"_s,      u"have"_s,
        u"am"_s,      u"isn't"_s,   u"aren't"_s,    u"wasn't"_s,    u"don't"_s,    u"doesn't"_s,
        u"didn't"_s,  u"can't"_s,   u"couldn't"_s,  u"won't"_s,     u"wouldn't"_s, u"shouldn't"_s,
        u"haven't"_s, u"hasn't"_s,  u"what's"_s};
    static const QSet<QString> kSubjects{u"you"_s,  u"we"_s,   u"i"_s,     u"it"_s,
                                         u"they"_s, u"he"_s,   u"she"_s,   u"there"_s,
                                         u"this"_s, u"that"_s, u"these"_s, u"those"_s};
    qsizetype i = 0;
    while (i < tokens.size() && isHesitation(tokens[i].text)) {
        ++i;
    }
    if (i + 1 >= tokens.size()) {
        return false;
    }
    static const QSet<QString> kDeterminers{u"the"_s, u"a"_s,    u"an"_s,   u"my"_s,
                                            u"your"_s, u"our"_s, u"his"_s,  u"her"_s,
                                            u"their"_s, u"its"_s, u"any"_s, u"some"_s,
                                            u"everyone"_s, u"anyone"_s, u"someone"_s};
    const QString& first = tokens[i].text;
    const QString& second = tokens[i + 1].text;
    if (kAuxiliaries.contains(first) && kDeterminers.contains(second)) {
        return true;
    }
    if (first == u"what's"_s || first == u"where's"_s || first == u"who's"_s ||
        first == u"how's"_s) {
        return true;
    }
    return (kQuestionWords.contains(first) &&
            (kAuxiliaries.contains(second) || !kSubjects.contains(second))) ||
           (kAuxiliaries.contains(first) && kSubjects.contains(second));
}

int editDistance(QStringView a, QStringView b, int limit) {
    const qsizetype n = a.size();
    const qsizetype m = b.size();
    if (std::abs(n - m) > limit) {
        return limit + 1;
    }
    std::vector<int> before(std::size_t(m + 1));
    std::vector<int> previous(std::size_t(m + 1));
    std::vector<int> current(std::size_t(m + 1));
    for (qsizetype j = 0; j <= m; ++j) {
        previous[std::size_t(j)] = int(j);
    }
    for (qsizetype i = 1; i <= n; ++i) {
        current[0] = int(i);
        int rowMinimum = current[0];
        for (qsizetype j = 1; j <= m; ++j) {
            const int cost = a[i - 1] == b[j - 1] ? 0 : 1;
            int value = std::min({previous[std::size_t(j)] + 1, current[std::size_t(j - 1)] + 1,
                                  previous[std::size_t(j - 1)] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                value = std::min(value, before[std::size_t(j - 2)] + 1);
            }
            current[std::size_t(j)] = value;
            rowMinimum = std::min(rowMinimum, value);
        }
        if (rowMinimum > limit) {
            return limit + 1;
        }
        std::swap(before, previous);
        std::swap(previous, current);
    }
    return std::min(previous[std::size_t(m)], limit + 1);
}

bool isSpellingFix(const QString& from, const QString& to) {
    static const QList<QSet<QString>> kSoundAlike{
        {u"their"_s, u"there"_s, u"they're"_s, u"theyre"_s},
        {u"your"_s, u"you're"_s, u"youre"_s},
        {u"its"_s, u"it's"_s},
        {u"whose"_s, u"who's"_s},
        {u"were"_s, u"we're"_s, u"where"_s},
        {u"then"_s, u"than"_s},
        {u"to"_s, u"too"_s},
        {u"affect"_s, u"effect"_s},
        {u"lose"_s, u"loose"_s},
        {u"accept"_s, u"except"_s},
        {u"of"_s, u"have"_s, u"'ve"_s},
    };
    if (from == to) {
        return true;
    }
    for (const QSet<QString>& group : kSoundAlike) {
        if (group.contains(from) && group.contains(to)) {
            return true;
        }
    }
    // Short words are too easily another word ("now" and "not").
    const qsizetype length = std::min(from.size(), to.size());
    if (length < 4 || from.front().isDigit() || to.front().isDigit()) {
        return false;
    }
    const int limit = length >= 8 ? 2 : 1;
    return editDistance(from, to, limit) <= limit;
}

} // namespace quovant::guard_text
