#pragma once

#include "core/pipeline_mode.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace quovant {

// Turns vocabulary lists into the contextual strings given to the recogniser when an utterance
// begins, adding a spoken form for identifiers. Stateless and pure; safe from any thread.
class RecognitionContextBuilder {
public:
    RecognitionContextBuilder() = delete;

    static constexpr qsizetype kMaxContextualStrings = 100;

    // Case- and accent-folded alphanumeric runs joined by single blanks: "Café.txt" → "cafe txt".
    static QString normalized(const QString& text);
    // Breaks camel case, acronyms, letter–digit runs and "_", "-", "/": "XMLParser" →
    // "XML Parser", "gpt-4o" → "gpt 4 o".
    static QString splitIdentifier(const QString& text);
    // The spoken form first when it differs from the written one: "SpeechAnalyzer" →
    // ["Speech Analyzer", "SpeechAnalyzer"]; nothing for a blank term.
    static QStringList spokenVariants(const QString& term);

    // The terms that help a developer-prompt dictation: section names and common requests.
    static const QStringList& promptHints();

    // The four source lists of a mode, in priority order. `learnedTerms` is already empty when
    // learning is off; `editCommandHints` are the spoken names of the edit commands.
    static QList<QStringList> sourceLists(PipelineMode mode, const QStringList& customVocabulary,
                                          const QStringList& learnedTerms,
                                          const QStringList& repositoryVocabulary,
                                          const QStringList& editCommandHints);
    // Variants of every term, in list order, without repeats of a normalized form, at most 100.
    static QStringList contextualStrings(const QList<QStringList>& sourceLists);
    static QStringList contextualStrings(PipelineMode mode, const QStringList& customVocabulary,
                                         const QStringList& learnedTerms,
                                         const QStringList& repositoryVocabulary,
                                         const QStringList& editCommandHints);
    // Custom terms, then learned and repository terms not already present verbatim.
    static QStringList combinedVocabulary(const QStringList& customVocabulary,
                                          const QStringList& learnedTerms,
                                          const QStringList& repositoryVocabulary);
};

} // namespace quovant
