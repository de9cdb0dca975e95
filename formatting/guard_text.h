#pragma once

#include "core/unicode_text.h"
#include "formatting/spoken_numbers.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>

// Checks the three guards share: what a text says (negations, facts, numbers, questions) and
// what typing it would do (control characters, shell operators). Pure and thread-safe.
namespace quovant::guard_text {

// Lower-case, canonically composed, typographic apostrophes made straight: the form in which
// answers are compared with chat-reply markers.
QString markerForm(const QString& text);
bool startsWithAnyMarker(const QString& markerFormText, const QStringList& markers);

// Negators ("not", "never", "n't" forms, "nobody", "without"…), a run of the same negator
// counted once so that a stutter may be cleaned up.
bool isNegator(const QString& token);
qsizetype negationCount(const QList<TextToken>& tokens);
// Whether every negation of the answer negates something the source negated ("do not change
// the API" restating "don't change the api"), rather than turning a statement around.
bool negatesOnlyWhatSourceNegated(const QList<TextToken>& source,
                                  const QList<TextToken>& answer);

// An exact-fact pattern and where a match of it can begin (see fact_pattern_starts.h).
struct FactPattern {
    QString pattern;
    bool (*mayStart)(const QString& text, qsizetype index);
};
struct CompiledFactPattern {
    std::shared_ptr<const unicode::Regex> regex;
    bool (*mayStart)(const QString& text, qsizetype index);
};
// The patterns that compile, in order; one that does not is left out, not fatal.
QList<CompiledFactPattern> compileFactPatterns(const QList<FactPattern>& patterns);
// The compiled pattern, or null (after a line on standard error) when it does not compile.
std::shared_ptr<const unicode::Regex> compiledOrNull(const QString& pattern,
                                                     bool caseInsensitive = false);

// Everything a source text holds in spoken or written form, to tell a fact an answer repeats
// from one it invents.
class SourceFacts {
public:
    SourceFacts(const QList<TextToken>& tokens, const QStringList& vocabulary);

    // Whether a word of the answer (a name, acronym, identifier part) is one the source holds,
    // whatever its case, accents, spelling out letter by letter or splitting.
    bool knowsWord(const QString& word, const QString& original) const;
    const QList<NumberRun>& runs() const { return m_runs; }
    // Every form the source's numbers may be written in.
    const QSet<QString>& numberForms() const { return m_numberForms; }

private:
    bool knows(const QString& folded) const;
    // Words spoken apart that the answer may join ("git hub" → "GitHub", "a p i" → "API").
    bool knowsJoined(const QString& folded) const;

    QList<TextToken> m_tokens;
    QSet<QString> m_words; // folded
    QList<NumberRun> m_runs;
    QSet<QString> m_numberForms;
};

enum class Initials {
    // Every capitalised word is a name: dictation adds no words of its own.
    areNames,
    // A capitalised word that starts a sentence or line may be ordinary rewording.
    mayBeWords,
};

// The first fact of `answer` that the source holds in no form: a name, acronym, identifier,
// address or path whose words the source never said, or a number it never said. Empty when
// there is none.
QString inventedFact(const SourceFacts& source, const QString& answer,
                     const QList<TextToken>& answerTokens, const QList<NumberRun>& answerRuns,
                     Initials initials);

// Whether the answer's numbers lost their order ("10 chairs and 2 tables" → "2 chairs and 10
// tables") or their neighbours (a number now counts a word another number counted).
bool numbersMoved(const QList<NumberRun>& source, const QList<NumberRun>& answer,
                  bool orderMatters);

// The words (as TranscriptGuard::words splits them) of the source's numbers that the answer
// writes in some form ("five thirty" as "5:30").
QSet<QString> numberWordsWritten(const QList<TextToken>& sourceTokens,
                                 const QList<NumberRun>& source,
                                 const QList<NumberRun>& answer);

// Whether the answer repeats a number more often than the source says it.
bool numbersRepeated(const QList<NumberRun>& source, const QList<NumberRun>& answer);

// Line breaks the answer may hold beyond those the source holds: a count, or any number.
struct LineBreaks {
    static constexpr qsizetype kAny = -1;
    qsizetype extra = 0;
};

// Whether the answer holds text that is dangerous to type and that the source did not hold in
// written or spoken form: control characters, line breaks beyond the allowance, bidirectional
// overrides, zero-width characters, shell operators.
// `codeSpans`: backquotes are Markdown code spans (a document for a coding agent), not shell.
bool addsDangerousText(const QString& source, const QList<TextToken>& sourceTokens,
                       const QString& answer, LineBreaks lineBreaks, bool codeSpans = false);

// The runs of the answer without the numbers of numbered lists ("1. Buy milk"), which count
// lines, not things.
QList<NumberRun> withoutListNumbers(const QString& answer, const QList<TextToken>& tokens,
                                    const QList<NumberRun>& runs);

// Whether the text opens with a question ("what is…", "can you…"), judged on its first words.
bool opensWithQuestion(const QList<TextToken>& tokens);

// Damerau-Levenshtein distance, giving up (returning limit + 1) beyond `limit`.
int editDistance(QStringView a, QStringView b, int limit);

// Whether a spelling or grammar fix may have turned one word into the other: a small edit
// ("tomorow" → "tomorrow") or a word that sounds the same ("their" → "they're"; apostrophes and
// case as TextToken writes them).
bool isSpellingFix(const QString& from, const QString& to);

} // namespace quovant::guard_text
