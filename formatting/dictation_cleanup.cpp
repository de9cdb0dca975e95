#include "formatting/dictation_cleanup.h"

#include "core/unicode_text.h"

#include <QHash>
#include <QSet>

#include <algorithm>

#include <vector>

using namespace Qt::StringLiterals;

namespace quovant {
namespace {

enum class Kind { word, mark, openQuote, closeQuote, lineBreak, paragraphBreak };

struct Token {
    Kind kind = Kind::word;
    QString text; // as spoken or typed; the mark itself for marks
    QString key;  // lower-cased word with typographic apostrophes made straight
    // The silence after this token, in milliseconds, as the recogniser timed it.
    int pauseAfter = 0;
    // A sentence end the pauses suggested; whether it asks is judged once the sentence is known.
    bool inferred = false;
};

bool isTerminal(const Token& t) {
    return t.kind == Kind::mark && (t.text == u"."_s || t.text == u"?"_s || t.text == u"!"_s);
}
bool isBreak(const Token& t) {
    return t.kind == Kind::lineBreak || t.kind == Kind::paragraphBreak;
}
bool endsSentence(const Token& t) {
    return isTerminal(t) || isBreak(t);
}

Token word(const QString& text) {
    QString key = unicode::toLower(text);
    key.replace(QChar(0x2019), u'\'');
    return {Kind::word, text, key};
}
Token mark(const QString& text) {
    return {Kind::mark, text, {}};
}

bool isTrailingMark(QChar c) {
    return c == u',' || c == u'.' || c == u'!' || c == u'?' || c == u';' || c == u':';
}
bool isQuote(QChar c) {
    return c == u'"' || c == QChar(0x201C) || c == QChar(0x201D);
}

// Splits one whitespace-free piece into an optional opening quote, the word and trailing marks.
void appendPiece(const QString& piece, std::vector<Token>& out) {
    qsizetype begin = 0;
    qsizetype end = piece.size();
    std::vector<Token> trailing;
    while (end > begin && (isTrailingMark(piece.at(end - 1)) || isQuote(piece.at(end - 1)))) {
        const QChar c = piece.at(end - 1);
        trailing.insert(trailing.begin(),
                        isQuote(c) ? Token{Kind::closeQuote, u"\""_s, {}} : mark(QString(c)));
        --end;
    }
    if (begin < end && isQuote(piece.at(begin))) {
        out.push_back({Kind::openQuote, u"\""_s, {}});
        ++begin;
    }
    if (begin < end) {
        out.push_back(word(piece.mid(begin, end - begin)));
    }
    out.insert(out.end(), trailing.begin(), trailing.end());
}

std::vector<Token> tokenize(const QString& text, const SpeechPauses& pauses) {
    QHash<qsizetype, int> pauseAfterPiece;
    for (const SpeechPause& pause : pauses) {
        if (pause.wordsBefore > 0 && pause.milliseconds > 0) {
            pauseAfterPiece[pause.wordsBefore - 1] = pause.milliseconds;
        }
    }
    qsizetype piece = 0;
    std::vector<Token> tokens;
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n) {
        if (text.at(i).isSpace()) {
            int newlines = 0;
            while (i < n && text.at(i).isSpace()) {
                newlines += text.at(i) == u'\n' ? 1 : 0;
                ++i;
            }
            if (newlines > 0 && !tokens.empty()) {
                tokens.push_back({newlines > 1 ? Kind::paragraphBreak : Kind::lineBreak, {}, {}});
            }
            continue;
        }
        const qsizetype start = i;
        while (i < n && !text.at(i).isSpace()) {
            ++i;
        }
        const std::size_t before = tokens.size();
        appendPiece(text.mid(start, i - start), tokens);
        if (tokens.size() > before) {
            tokens.back().pauseAfter = pauseAfterPiece.value(piece);
        }
        ++piece;
    }
    return tokens;
}

QString keyAt(const std::vector<Token>& tokens, qsizetype i) {
    if (i < 0 || i >= static_cast<qsizetype>(tokens.size()) || tokens[i].kind != Kind::word) {
        return {};
    }
    return tokens[i].key;
}

// --- spoken punctuation -------------------------------------------------------------------

struct SpokenMark {
    QStringList words;
    Kind kind;
    QString text;
};

const std::vector<SpokenMark>& spokenMarks() {
    static const std::vector<SpokenMark> marks = {
        {{u"new"_s, u"paragraph"_s}, Kind::paragraphBreak, {}},
        {{u"new"_s, u"line"_s}, Kind::lineBreak, {}},
        {{u"full"_s, u"stop"_s}, Kind::mark, u"."_s},
        {{u"question"_s, u"mark"_s}, Kind::mark, u"?"_s},
        {{u"exclamation"_s, u"mark"_s}, Kind::mark, u"!"_s},
        {{u"exclamation"_s, u"point"_s}, Kind::mark, u"!"_s},
        {{u"open"_s, u"quote"_s}, Kind::openQuote, u"\""_s},
        {{u"close"_s, u"quote"_s}, Kind::closeQuote, u"\""_s},
        {{u"end"_s, u"quote"_s}, Kind::closeQuote, u"\""_s},
        {{u"unquote"_s}, Kind::closeQuote, u"\""_s},
        {{u"period"_s}, Kind::mark, u"."_s},
        {{u"comma"_s}, Kind::mark, u","_s},
        {{u"semicolon"_s}, Kind::mark, u";"_s},
        {{u"colon"_s}, Kind::mark, u":"_s},
    };
    return marks;
}

// A word before or after a spoken mark that shows the word itself is meant ("the comma is
// missing", "a period of time", "add a new line of code").
bool isLiteralUse(const QString& before, const QString& after) {
    static const QSet<QString> literalBefore = {
        u"the"_s,     u"a"_s,         u"an"_s,       u"this"_s,    u"that"_s,    u"these"_s,
        u"those"_s,   u"each"_s,      u"every"_s,    u"one"_s,     u"no"_s,      u"any"_s,
        u"extra"_s,   u"missing"_s,   u"trailing"_s, u"another"_s, u"his"_s,     u"her"_s,
        u"my"_s,      u"your"_s,      u"our"_s,      u"their"_s,   u"its"_s,     u"same"_s,
        u"first"_s,   u"last"_s,      u"second"_s,   u"next"_s,    u"single"_s,  u"double"_s,
        u"oxford"_s,  u"serial"_s,    u"grace"_s,    u"trial"_s,   u"waiting"_s, u"cooling"_s,
        u"billing"_s, u"reporting"_s,
    };
    static const QSet<QString> literalAfter = {
        u"is"_s,        u"was"_s,       u"are"_s,        u"were"_s,   u"of"_s,
        u"key"_s,       u"sign"_s,      u"button"_s,     u"splice"_s, u"separated"_s,
        u"delimited"_s, u"character"_s, u"characters"_s, u"symbol"_s, u"operator"_s,
        u"cancer"_s,    u"marks"_s,     u"points"_s,     u"lines"_s,  u"paragraphs"_s,
    };
    return literalBefore.contains(before) || literalAfter.contains(after);
}

std::vector<Token> convertSpokenPunctuation(const std::vector<Token>& in) {
    std::vector<Token> out;
    const qsizetype n = static_cast<qsizetype>(in.size());
    for (qsizetype i = 0; i < n; ++i) {
        bool converted = false;
        if (in[i].kind == Kind::word) {
            for (const SpokenMark& spoken : spokenMarks()) {
                const qsizetype length = spoken.words.size();
                bool matches = i + length <= n;
                for (qsizetype k = 0; matches && k < length; ++k) {
                    matches = keyAt(in, i + k) == spoken.words.at(k);
                }
                if (!matches || isLiteralUse(keyAt(in, i - 1), keyAt(in, i + length))) {
                    continue;
                }
                out.push_back({spoken.kind, spoken.text, {}});
                out.back().pauseAfter = in[i + length - 1].pauseAfter;
                i += length - 1;
                converted = true;
                break;
            }
        }
        if (!converted) {
            out.push_back(in[i]);
        }
    }
    return out;
}

// A dropped token's pause stays where it was: after the word before it.
void keepPause(std::vector<Token>& out, const Token& dropped) {
    if (!out.empty()) {
        out.back().pauseAfter = std::max(out.back().pauseAfter, dropped.pauseAfter);
    }
}

// --- fillers ------------------------------------------------------------------------------

bool isAlwaysFiller(const QString& key) {
    static const QSet<QString> fillers = {u"um"_s,  u"umm"_s, u"uh"_s,  u"uhh"_s,
                                          u"uhm"_s, u"er"_s,  u"erm"_s, u"hmm"_s,
                                          u"hm"_s,  u"ah"_s,  u"mm"_s,  u"mhm"_s};
    return fillers.contains(key);
}

bool atSentenceEnd(const std::vector<Token>& tokens, qsizetype next) {
    return next >= static_cast<qsizetype>(tokens.size()) || endsSentence(tokens[next]) ||
           tokens[next].kind == Kind::mark;
}

// Phrases that are filler only in a clear position: beside a hesitation sound, or "you know"
// tagged onto the end of a statement.
std::vector<Token> removeFillers(const std::vector<Token>& in) {
    static const std::vector<QStringList> softFillers = {
        {u"you"_s, u"know"_s}, {u"i"_s, u"mean"_s}, {u"sort"_s, u"of"_s},
        {u"kind"_s, u"of"_s},  {u"like"_s},
    };
    static const QSet<QString> knowsAsVerb = {
        u"do"_s,     u"did"_s,   u"don't"_s,  u"dont"_s,    u"would"_s,   u"will"_s, u"to"_s,
        u"if"_s,     u"you"_s,   u"i"_s,      u"we"_s,      u"they"_s,    u"let"_s,  u"could"_s,
        u"should"_s, u"might"_s, u"may"_s,    u"not"_s,     u"whether"_s, u"as"_s,   u"what"_s,
        u"who"_s,    u"how"_s,   u"didn't"_s, u"doesn't"_s, u"does"_s,    u"now"_s,  u"all"_s,
    };
    const qsizetype n = static_cast<qsizetype>(in.size());
    std::vector<bool> drop(in.size(), false);
    for (qsizetype i = 0; i < n; ++i) {
        if (in[i].kind == Kind::word && isAlwaysFiller(in[i].key)) {
            drop[i] = true;
        }
    }
    for (qsizetype i = 0; i < n; ++i) {
        for (const QStringList& phrase : softFillers) {
            const qsizetype length = phrase.size();
            bool matches = i + length <= n;
            for (qsizetype k = 0; matches && k < length; ++k) {
                matches = keyAt(in, i + k) == phrase.at(k);
            }
            if (!matches) {
                continue;
            }
            const bool besideHesitation =
                isAlwaysFiller(keyAt(in, i - 1)) || isAlwaysFiller(keyAt(in, i + length));
            const bool taggedYouKnow =
                phrase.first() == u"you"_s && i > 0 && in[i - 1].kind == Kind::word &&
                !knowsAsVerb.contains(in[i - 1].key) && atSentenceEnd(in, i + length);
            if (besideHesitation || taggedYouKnow) {
                for (qsizetype k = 0; k < length; ++k) {
                    drop[i + k] = true;
                }
            }
        }
    }
    std::vector<Token> out;
    for (qsizetype i = 0; i < n; ++i) {
        if (!drop[i]) {
            out.push_back(in[i]);
        } else {
            keepPause(out, in[i]);
        }
    }
    return out;
}

// --- sentences from pauses ---------------------------------------------------------------

// A clear pause between two words ends a sentence; whether it asks is decided later. Clear means
// long against the speaker's own rhythm: twice the pause that three in four word gaps stay under,
// but never shorter than `shortest` nor required longer than `clear`.
std::vector<Token> breakAtPauses(const std::vector<Token>& in, int shortest, int clear) {
    std::vector<int> gaps;
    for (std::size_t i = 0; i + 1 < in.size(); ++i) {
        if (in[i].kind == Kind::word) {
            gaps.push_back(in[i].pauseAfter);
        }
    }
    if (gaps.empty()) {
        return in;
    }
    const auto quartile = gaps.begin() + std::ptrdiff_t(gaps.size() * 3 / 4);
    std::nth_element(gaps.begin(), quartile, gaps.end());
    const int threshold = std::clamp(2 * *quartile, shortest, std::max(shortest, clear));
    std::vector<Token> out;
    for (std::size_t i = 0; i < in.size(); ++i) {
        out.push_back(in[i]);
        const bool wordFollows = i + 1 < in.size() && (in[i + 1].kind == Kind::word ||
                                                       in[i + 1].kind == Kind::openQuote);
        if (in[i].kind == Kind::word && in[i].pauseAfter >= threshold && wordFollows) {
            Token end = mark(u"."_s);
            end.inferred = true;
            out.push_back(end);
        }
    }
    return out;
}

// --- self-corrections ---------------------------------------------------------------------

qsizetype sentenceStart(const std::vector<Token>& tokens, qsizetype end) {
    qsizetype start = end;
    while (start > 0 && !endsSentence(tokens[start - 1])) {
        --start;
    }
    return start;
}

// "scratch that" abandons the sentence spoken so far (or, at a sentence start, the previous
// one); "no wait" replaces the words just before it with the words after it.
std::vector<Token> applySelfCorrections(const std::vector<Token>& in) {
    std::vector<Token> out;
    const qsizetype n = static_cast<qsizetype>(in.size());
    for (qsizetype i = 0; i < n; ++i) {
        const bool scratch = keyAt(in, i) == u"scratch"_s && keyAt(in, i + 1) == u"that"_s;
        const bool noWait = keyAt(in, i) == u"no"_s && keyAt(in, i + 1) == u"wait"_s;
        if (!scratch && !noWait) {
            out.push_back(in[i]);
            continue;
        }
        qsizetype start = sentenceStart(out, static_cast<qsizetype>(out.size()));
        if (scratch) {
            if (start == static_cast<qsizetype>(out.size()) && start > 0) {
                // Nothing said yet in this sentence: take back the previous one.
                start = sentenceStart(out, start - 1);
            }
            out.erase(out.begin() + start, out.end());
        } else {
            // The correction: the words after the cue up to the next mark or break.
            qsizetype after = i + 2;
            qsizetype k = 0;
            while (after + k < n && in[after + k].kind == Kind::word) {
                ++k;
            }
            qsizetype restart = -1;
            if (k > 0) {
                for (qsizetype j = static_cast<qsizetype>(out.size()) - 1; j >= start; --j) {
                    if (out[j].kind == Kind::word && out[j].key == in[after].key) {
                        restart = j;
                        break;
                    }
                }
            }
            const qsizetype wordsBefore = static_cast<qsizetype>(out.size()) - start;
            if (restart >= 0) {
                out.erase(out.begin() + restart, out.end());
            } else if (k > 0 && k <= 3 && wordsBefore >= k) {
                out.erase(out.end() - k, out.end());
            }
        }
        ++i; // the second word of the cue
        // A mark said right after the cue belongs to the abandoned words.
        while (i + 1 < n && in[i + 1].kind == Kind::mark && !isTerminal(in[i + 1])) {
            ++i;
        }
    }
    return out;
}

// --- repetitions --------------------------------------------------------------------------

bool isNumberLike(const QString& key) {
    static const QSet<QString> numberWords = {u"zero"_s,  u"oh"_s,    u"one"_s,  u"two"_s,
                                              u"three"_s, u"four"_s,  u"five"_s, u"six"_s,
                                              u"seven"_s, u"eight"_s, u"nine"_s, u"ten"_s};
    if (numberWords.contains(key)) {
        return true;
    }
    for (const QChar c : key) {
        if (c.isDigit()) {
            return true;
        }
    }
    return false;
}

bool mayRepeat(const QString& key) {
    static const QSet<QString> grammatical = {u"had"_s, u"that"_s, u"is"_s, u"bye"_s};
    return grammatical.contains(key) || isNumberLike(key);
}

std::vector<Token> removeRepetitions(const std::vector<Token>& in) {
    std::vector<Token> out;
    for (const Token& token : in) {
        if (token.kind == Kind::word && !out.empty() && out.back().kind == Kind::word) {
            Token& previous = out.back();
            // A cut-off start ("th- the") gives way to the word it started.
            if (previous.key.size() > 1 && previous.key.endsWith(u'-') &&
                token.key.startsWith(previous.key.chopped(1))) {
                previous = token;
                continue;
            }
            if (previous.key == token.key && !mayRepeat(token.key)) {
                keepPause(out, token);
                continue;
            }
            // A repeated pair: "i think i think".
            const qsizetype size = static_cast<qsizetype>(out.size());
            if (size >= 3 && out[size - 3].kind == Kind::word && out[size - 2].kind == Kind::word &&
                out[size - 3].key == previous.key && out[size - 2].key == token.key &&
                !isNumberLike(token.key)) {
                const Token dropped = out.back();
                out.pop_back();
                keepPause(out, dropped);
                keepPause(out, token);
                continue;
            }
        }
        out.push_back(token);
    }
    return out;
}

// --- letter case --------------------------------------------------------------------------

bool isPlainWord(const QString& text) {
    for (const QChar c : text) {
        if (!c.isLetter() && c != u'\'' && c != QChar(0x2019) && !c.isMark()) {
            return false;
        }
    }
    return !text.isEmpty();
}

QString capitalizeFirst(const QString& text) {
    const QStringList characters = unicode::graphemes(text);
    if (characters.isEmpty()) {
        return text;
    }
    return unicode::toUpper(characters.first()) + text.mid(characters.first().size());
}

void applyKnownSpellings(std::vector<Token>& tokens, const QStringList& vocabulary) {
    struct Term {
        QStringList parts;
        QStringList keys;
    };
    std::vector<Term> terms;
    for (const QString& rawTerm : vocabulary) {
        const QStringList parts = rawTerm.simplified().split(u' ', Qt::SkipEmptyParts);
        if (parts.isEmpty() || parts.size() > 6) {
            continue;
        }
        Term term{parts, {}};
        bool hasCapital = false;
        for (const QString& part : parts) {
            hasCapital = hasCapital || part != unicode::toLower(part);
            term.keys.append(unicode::foldCaseAndDiacritics(part));
        }
        if (hasCapital) {
            terms.push_back(std::move(term));
        }
    }
    if (terms.empty()) {
        return;
    }
    // Fold each word once, not once per term.
    QStringList folded;
    for (const Token& t : tokens) {
        folded.append(t.kind == Kind::word ? unicode::foldCaseAndDiacritics(t.text) : QString());
    }
    const qsizetype n = static_cast<qsizetype>(tokens.size());
    for (const Term& term : terms) {
        const qsizetype length = term.parts.size();
        for (qsizetype i = 0; i + length <= n; ++i) {
            bool matches = true;
            for (qsizetype k = 0; matches && k < length; ++k) {
                matches = tokens[i + k].kind == Kind::word && folded.at(i + k) == term.keys.at(k);
            }
            if (!matches) {
                continue;
            }
            for (qsizetype k = 0; k < length; ++k) {
                tokens[i + k].text = term.parts.at(k);
            }
        }
    }
}

// The pronoun I and the unambiguous names of days and months ("may" and "march" are verbs too).
void capitalizeKnownNames(std::vector<Token>& tokens, bool withNames) {
    static const QSet<QString> forms = {u"i"_s, u"i'm"_s, u"i've"_s, u"i'll"_s, u"i'd"_s};
    static const QSet<QString> names = {
        u"monday"_s, u"tuesday"_s,   u"wednesday"_s, u"thursday"_s, u"friday"_s,   u"saturday"_s,
        u"sunday"_s, u"january"_s,   u"february"_s,  u"april"_s,    u"june"_s,     u"july"_s,
        u"august"_s, u"september"_s, u"october"_s,   u"november"_s, u"december"_s,
    };
    for (Token& t : tokens) {
        if (t.kind != Kind::word) {
            continue;
        }
        if (forms.contains(t.key)) {
            t.text[0] = u'I';
        } else if (withNames && names.contains(t.key) && t.text == t.key) {
            t.text[0] = t.text.at(0).toUpper();
        }
    }
}

bool looksLikeQuestion(const std::vector<Token>& tokens, qsizetype start, qsizetype end) {
    static const QSet<QString> questionWords = {u"what"_s, u"why"_s,   u"how"_s,
                                                u"who"_s,  u"which"_s, u"where"_s};
    static const QSet<QString> auxiliaries = {
        u"is"_s,  u"are"_s,   u"was"_s,    u"were"_s,   u"do"_s,      u"does"_s,  u"did"_s,
        u"can"_s, u"could"_s, u"would"_s,  u"should"_s, u"will"_s,    u"has"_s,   u"have"_s,
        u"am"_s,  u"isn't"_s, u"aren't"_s, u"don't"_s,  u"doesn't"_s, u"can't"_s, u"won't"_s};
    static const QSet<QString> subjects = {u"you"_s,  u"we"_s,   u"i"_s,     u"it"_s,
                                           u"they"_s, u"he"_s,   u"she"_s,   u"there"_s,
                                           u"this"_s, u"that"_s, u"these"_s, u"those"_s};
    // "is the report finished", "can your team": an auxiliary before a noun phrase asks too,
    // except the ones that also start orders ("do the dishes", "have a look").
    static const QSet<QString> determiners = {u"the"_s,  u"a"_s,   u"an"_s,   u"your"_s,
                                              u"my"_s,   u"our"_s, u"his"_s,  u"her"_s,
                                              u"their"_s, u"anyone"_s, u"anything"_s, u"everyone"_s};
    static const QSet<QString> orders = {u"do"_s, u"have"_s, u"don't"_s, u"am"_s};
    QStringList first;
    for (qsizetype i = start; i < end && first.size() < 2; ++i) {
        if (tokens[i].kind == Kind::word) {
            first.append(tokens[i].key);
        } else if (tokens[i].kind != Kind::openQuote) {
            break;
        }
    }
    if (first.size() < 2) {
        return false;
    }
    // "what time is it" asks; "what you need is rest" states.
    return (questionWords.contains(first.at(0)) &&
            (auxiliaries.contains(first.at(1)) || !subjects.contains(first.at(1)))) ||
           (auxiliaries.contains(first.at(0)) &&
            (subjects.contains(first.at(1)) ||
             (determiners.contains(first.at(1)) && !orders.contains(first.at(0)))));
}

// Capitalises sentence starts and closes every sentence that has words but no final mark.
std::vector<Token> finishSentences(const std::vector<Token>& in, bool capitalize) {
    std::vector<Token> out;
    qsizetype start = 0; // index in `out` where the current sentence began
    bool hasWords = false;
    auto close = [&](bool atEnd) {
        if (!hasWords) {
            return;
        }
        // Skip a closing quote when looking for the sentence's last mark.
        qsizetype last = static_cast<qsizetype>(out.size()) - 1;
        while (last >= start && out[last].kind == Kind::closeQuote) {
            --last;
        }
        if (last < start || isTerminal(out[last]) || out[last].text == u":"_s) {
            return;
        }
        // A comma may lead into the next line ("Dear Anna," then a paragraph); at the very end
        // it is a dangling mark and becomes the sentence's end.
        if (out[last].kind == Kind::mark && !atEnd) {
            return;
        }
        const QString terminal = looksLikeQuestion(out, start, last + 1) ? u"?"_s : u"."_s;
        if (out[last].kind == Kind::mark) {
            out[last].text = terminal;
        } else {
            out.push_back(mark(terminal));
        }
    };
    for (const Token& token : in) {
        if (isBreak(token)) {
            close(false);
            out.push_back(token);
            start = static_cast<qsizetype>(out.size());
            hasWords = false;
            continue;
        }
        if (token.kind == Kind::mark) {
            // Marks need a word before them in the same sentence; repeated marks collapse.
            if (!hasWords) {
                continue;
            }
            Token placed = token;
            if (placed.inferred) {
                placed.text =
                    looksLikeQuestion(out, start, static_cast<qsizetype>(out.size())) ? u"?"_s
                                                                                        : u"."_s;
            }
            if (!out.empty() && out.back().kind == Kind::mark) {
                if (isTerminal(out.back())) {
                    continue;
                }
                out.back() = placed;
            } else {
                out.push_back(placed);
            }
            if (isTerminal(token)) {
                start = static_cast<qsizetype>(out.size());
                hasWords = false;
            }
            continue;
        }
        Token t = token;
        if (t.kind == Kind::word) {
            if (!hasWords && capitalize && isPlainWord(t.text)) {
                t.text = capitalizeFirst(t.text);
            }
            hasWords = true;
        }
        out.push_back(t);
    }
    close(true);
    return out;
}

QString render(const std::vector<Token>& tokens) {
    QString out;
    bool glueNext = false;
    auto trimTrailingBlanks = [&]() {
        while (!out.isEmpty() && out.back() == u' ') {
            out.chop(1);
        }
    };
    for (const Token& t : tokens) {
        switch (t.kind) {
        case Kind::word:
            if (!out.isEmpty() && !glueNext && out.back() != u'\n') {
                out += u' ';
            }
            out += t.text;
            glueNext = false;
            break;
        case Kind::openQuote:
            if (!out.isEmpty() && !glueNext && out.back() != u'\n') {
                out += u' ';
            }
            out += t.text;
            glueNext = true;
            break;
        case Kind::mark:
        case Kind::closeQuote:
            trimTrailingBlanks();
            out += t.text;
            glueNext = false;
            break;
        case Kind::lineBreak:
        case Kind::paragraphBreak:
            trimTrailingBlanks();
            if (!out.isEmpty()) {
                out += t.kind == Kind::lineBreak ? u"\n"_s : u"\n\n"_s;
            }
            glueNext = false;
            break;
        }
    }
    return out.trimmed();
}

} // namespace

QString DictationCleanup::clean(const QString& raw, const QStringList& vocabulary,
                                Options options) {
    std::vector<Token> tokens = tokenize(raw, options.pauses);
    if (options.editWords) {
        tokens = convertSpokenPunctuation(tokens);
        tokens = removeFillers(tokens);
    }
    if (!options.pauses.isEmpty()) {
        tokens = breakAtPauses(tokens, options.shortestSentencePause, options.clearSentencePause);
    }
    if (options.editWords) {
        tokens = applySelfCorrections(tokens);
        tokens = removeRepetitions(tokens);
    }
    applyKnownSpellings(tokens, vocabulary);
    capitalizeKnownNames(tokens, options.capitalizeSentences);
    return render(finishSentences(tokens, options.capitalizeSentences));
}

QStringList DictationCleanup::sentences(const QString& text) {
    static const unicode::Regex boundary(u"(?<=[.!?]|[.!?]\")[ \\t]+|\\s*\\n\\s*"_s);
    const QString marked = boundary.replaceAll(text, u"\n"_s);
    QStringList result;
    for (const QString& piece : marked.split(u'\n', Qt::SkipEmptyParts)) {
        const QString trimmed = piece.trimmed();
        if (!trimmed.isEmpty()) {
            result.append(trimmed);
        }
    }
    return result;
}

} // namespace quovant
