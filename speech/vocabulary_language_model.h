#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

namespace quovant {

// A small bigram language model of the speaker's vocabulary, which the recogniser mixes into its
// general one: every term alone and in a few carrier phrases, as ARPA text, together with
// pronunciations for the words the recogniser's dictionary lacks. Pure; any thread.
struct VocabularyLanguageModel {
    struct Word {
        QString text;               // lower case, as the model and the dictionary spell it
        QStringList pronunciations; // model phones, best first, no repeats

        bool operator==(const Word&) const = default;
    };

    // The pronunciation of a dictionary word, empty when the dictionary lacks it.
    using Dictionary = std::function<QString(const QString& word)>;
    // Pronunciations for written words (an empty entry where there is none), asked once per build.
    using Guesser = std::function<QStringList(const QStringList& words)>;

    // The terms as the recogniser would write them, one blank between words.
    QStringList phrases;
    std::vector<Word> newWords;
    QByteArray arpa;

    bool isEmpty() const { return phrases.isEmpty(); }

    // Terms are free text ("kubectl", "Priya Raman", "SpeechAnalyzer"); a word of a term becomes a
    // new dictionary word when it has a pronunciation: the guessed one, its parts as dictionary
    // words ("SpeechAnalyzer" → speech + analyzer, "kubectl" → kube + c t l) and, for acronyms
    // and short or vowel-less words, its letters. Words without any are left out.
    static VocabularyLanguageModel build(const QStringList& terms, const Dictionary& dictionary,
                                         const Guesser& guesser);
    // A bigram model in ARPA text of the phrases, each alone and in the carrier phrases.
    static QByteArray arpaOf(const QStringList& phrases);
};

} // namespace quovant
