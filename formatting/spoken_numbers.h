#pragma once

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

namespace quovant {

// A word or a number of a text as the guards compare them: lower-case, canonically composed,
// typographic apostrophes made straight. A number is written in ASCII digits whatever script it
// came in, without thousands separators or ordinal suffix ("1,000" → "1000", "3rd" → "3",
// "٥" → "5"); a clock time keeps its colon and a decimal its point.
struct TextToken {
    QString text;
    QString original; // as the text writes it
    bool number = false;
    qsizetype start = 0; // UTF-16 positions in the composed text
    qsizetype end = 0;
};

// A stretch of consecutive numbers, spoken ("five thirty", "two point three", "twenty twenty
// six"), written ("5:30") or both.
struct NumberRun {
    qsizetype first = 0; // index of the first token
    qsizetype end = 0;   // one past the last token
    // The canonical reading of each number of the run, in order ("five thirty" → 5, 30).
    QStringList groups;
    // What the whole run may stand for as one number ("5:30", "530", "5.30").
    QSet<QString> wholeReadings;
    // Every reading of every stretch of the run: what a faithful rewrite may write for it.
    QSet<QString> forms;
    // The word right after the run: the thing the number counts ("12 laptops").
    QString counted;
    // "one", "first", "second" on their own are as often words as numbers.
    bool ambiguous = false;
};

// The one normaliser of number words, shared by every guard, so that a number is recognised the
// same way however the speaker said it and however the model wrote it. Pure and thread-safe.
namespace SpokenNumbers {

QList<TextToken> tokens(const QString& text);
QList<NumberRun> runs(const QList<TextToken>& tokens);
// A word that can be part of a spoken number ("twelve", "hundred", "third", "point").
bool isNumberWord(const QString& word);

} // namespace SpokenNumbers

} // namespace quovant
