#pragma once

#include "core/speech_pauses.h"

#include <QString>
#include <QStringList>

namespace quovant {

// Deterministic clean-up of recogniser output: it only deletes words, changes letter case and
// adds punctuation; it never adds a word. Pure and thread-safe.
struct DictationCleanup {
    struct Options {
        // Fillers, spoken punctuation, self-corrections and repetitions; off keeps every word.
        bool editWords = true;
        // Upper-case the first letter of each sentence (off where case carries meaning).
        bool capitalizeSentences = true;
        // Where the speaker paused between the words of the raw text. A pause ends a sentence
        // when it is long against the speaker's usual gaps between words: never when shorter
        // than `shortestSentencePause`, always from `clearSentencePause` (milliseconds).
        SpeechPauses pauses;
        int shortestSentencePause = kShortestSentencePause;
        int clearSentencePause = kClearSentencePause;
    };
    static constexpr int kShortestSentencePause = 80;
    static constexpr int kClearSentencePause = 350;

    // Cleans a raw transcript; `vocabulary` supplies the spelling of known terms.
    static QString clean(const QString& raw, const QStringList& vocabulary, Options options);
    static QString clean(const QString& raw, const QStringList& vocabulary = {}) {
        return clean(raw, vocabulary, Options{});
    }
    // Splits cleaned text into its sentences and lines, in order, each trimmed.
    static QStringList sentences(const QString& text);
};

} // namespace quovant
