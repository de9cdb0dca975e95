#include "speech/contextual_alternative_selector.h"
#include "speech/recognition_context_builder.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace quovant {
namespace {

using Builder = RecognitionContextBuilder;
using Selector = ContextualAlternativeSelector;

struct TextCase {
    QString input;
    QString expected;
};

TEST(RecognitionContextNormalized, FoldsCaseAccentsAndPunctuation) {
    const TextCase cases[] = {
        {u"Claude-Code!"_s, u"claude code"_s},
        {u"Café.txt"_s, u"cafe txt"_s},
        {u"!!! ---"_s, u""_s},
        {u""_s, u""_s},
        {u"  Straße  "_s, u"strasse"_s},
        {u"NAÏVE nai\u0308ve"_s, u"naive naive"_s},
        {u"version 2.0\tfinal"_s, u"version 2 0 final"_s},
        {u"👍🏽 ok"_s, u"ok"_s},
        {u"שָׁלוֹם עולם"_s, u"שלום עולם"_s},
        {u"x² ½"_s, u"x² ½"_s},
        {QChar(0xD800) + u"abc"_s, u"abc"_s},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Builder::normalized(c.input), c.expected) << c.input.toStdString();
    }
}

TEST(RecognitionContextSplitIdentifier, BreaksIdentifiersIntoSpokenWords) {
    const TextCase cases[] = {
        {u"SpeechAnalyzer"_s, u"Speech Analyzer"_s},
        {u"snake_case_name"_s, u"snake case name"_s},
        {u"gpt-4o"_s, u"gpt 4 o"_s},
        {u"config.json"_s, u"config.json"_s},
        {u"XMLParser"_s, u"XML Parser"_s},
        {u"getHTTPResponse2"_s, u"get HTTP Response 2"_s},
        {u"path/to/File"_s, u"path to File"_s},
        {u"__init__"_s, u"init"_s},
        {u"Claude Code"_s, u"Claude Code"_s},
        {u"a - b"_s, u"a b"_s},
        {u"iOS"_s, u"i OS"_s},
        {u"ÉcoleNormale"_s, u"École Normale"_s},
        {u"E\u0301coleNormale"_s, u"E\u0301cole Normale"_s},
        {u"straßeNummer"_s, u"straße Nummer"_s},
        {u"👍🏽Great"_s, u"👍🏽Great"_s},
        {u"abc١٢٣"_s, u"abc ١٢٣"_s},
        {u""_s, u""_s},
        {u"_-/"_s, u""_s},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Builder::splitIdentifier(c.input), c.expected) << c.input.toStdString();
    }
}

TEST(RecognitionContextSpokenVariants, PutsTheSpokenFormFirstOnlyWhenItDiffers) {
    const struct {
        QString term;
        QStringList expected;
    } cases[] = {
        {u"SpeechAnalyzer"_s, {u"Speech Analyzer"_s, u"SpeechAnalyzer"_s}},
        {u"gpt-4o"_s, {u"gpt 4 o"_s, u"gpt-4o"_s}},
        {u"iPhone"_s, {u"i Phone"_s, u"iPhone"_s}},
        {u"Claude Code"_s, {u"Claude Code"_s}},
        {u"config.json"_s, {u"config.json"_s}},
        {u"snake_case_name"_s, {u"snake_case_name"_s}},
        {u"Kubernetes"_s, {u"Kubernetes"_s}},
        {u"  Speech\t\nAnalyzer  "_s, {u"Speech Analyzer"_s}},
        {u" \n\u2003"_s, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Builder::spokenVariants(c.term), c.expected) << c.term.toStdString();
    }
}

// Distinct lower-case terms without digits or separators, so each has one variant.
QStringList plainTerms(int count, const QString& prefix = u"term"_s) {
    QStringList terms;
    for (int i = 0; i < count; ++i) {
        terms.append(prefix + QChar(u'a' + i / 26) + QChar(u'a' + i % 26));
    }
    return terms;
}

TEST(RecognitionContextStrings, KeepsTheFirstHundredDistinctVariants) {
    const QStringList terms = plainTerms(150);
    EXPECT_EQ(Builder::contextualStrings({terms}), terms.first(100));

    const QStringList withIdentifier = QStringList{u"SpeechAnalyzer"_s} + terms;
    const QStringList expected =
        QStringList{u"Speech Analyzer"_s, u"SpeechAnalyzer"_s} + terms.first(98);
    EXPECT_EQ(Builder::contextualStrings({withIdentifier}), expected);

    // The hundredth place goes to the spoken form; the written one is cut off.
    const QStringList lastPlace = terms.first(99) + QStringList{u"SpeechAnalyzer"_s};
    EXPECT_EQ(Builder::contextualStrings({lastPlace}),
              terms.first(99) + QStringList{u"Speech Analyzer"_s});

    EXPECT_EQ(Builder::contextualStrings(
                  {{u"Kubernetes"_s, u"---"_s, u""_s}, {}, {u"KUBERNETES"_s}, {u"kubernetes"_s}}),
              QStringList{u"Kubernetes"_s});
    EXPECT_EQ(Builder::contextualStrings({{u"Speech Analyzer"_s}, {u"SpeechAnalyzer"_s}}),
              (QStringList{u"Speech Analyzer"_s, u"SpeechAnalyzer"_s}));
}

TEST(RecognitionContextStrings, OrdersTheListsByMode) {
    const QStringList custom{u"Quovant"_s, u"Café Crème"_s};
    const QStringList learned{u"kubectl"_s, u"quovant"_s};
    const QStringList repository{u"parseConfig"_s};
    const QStringList editHints{u"fix grammar"_s, u"shorten"_s};

    const struct {
        const char* name;
        PipelineMode mode;
        QStringList repository;
        QStringList expected;
    } cases[] = {
        {"dictation without a repository",
         PipelineMode::dictation,
         {},
         {u"Quovant"_s, u"Café Crème"_s, u"kubectl"_s}},
        {"dictation",
         PipelineMode::dictation,
         repository,
         {u"Quovant"_s, u"Café Crème"_s, u"parse Config"_s, u"parseConfig"_s, u"kubectl"_s}},
        {"developer prompt",
         PipelineMode::developerPrompt,
         repository,
         {u"Quovant"_s, u"Café Crème"_s, u"Goal"_s, u"Context"_s, u"Constraints"_s,
          u"Acceptance criteria"_s, u"Verification"_s, u"do not change"_s, u"preserve"_s,
          u"add tests"_s, u"run tests"_s, u"parse Config"_s, u"parseConfig"_s, u"kubectl"_s}},
        {"edit in place", PipelineMode::editSelection, repository, editHints},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Builder::contextualStrings(c.mode, custom, learned, c.repository, editHints),
                  c.expected)
            << c.name;
    }
}

TEST(RecognitionContextStrings, CombinedVocabularyDropsVerbatimRepeats) {
    EXPECT_EQ(Builder::combinedVocabulary({u"A"_s, u"B"_s}, {u"B"_s, u"C"_s, u"a"_s},
                                          {u"C"_s, u"D"_s, u"A"_s, u"D"_s}),
              (QStringList{u"A"_s, u"B"_s, u"C"_s, u"a"_s, u"D"_s}));
}

TEST(ContextualAlternativeSelector, ScoresWholeMultiWordPhrasesOnly) {
    const QStringList phrases{
        u"Claude Code"_s, u"Speech Analyzer"_s, u"speech"_s,           u"one two three four five"_s,
        u"!!!"_s,         u"Claude Co"_s,       u"Café Crème brûlée"_s};
    const struct {
        QString text;
        int score;
    } cases[] = {
        {u"use claude-code and SPEECH ANALYZER"_s, 40},
        {u"one two three four five"_s, 0},
        {u"speech"_s, 0},
        {u"cafe creme brulee please"_s, 30},
        {u"claude coder"_s, 0},
        {u""_s, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Selector::contextScore(c.text, phrases), c.score) << c.text.toStdString();
    }
}

TEST(ContextualAlternativeSelector, EditDistanceCountsUserPerceivedCharacters) {
    const struct {
        QString a;
        QString b;
        int distance;
    } cases[] = {
        {u""_s, u"abc"_s, 3},           {u"abc"_s, u""_s, 3},
        {u"kitten"_s, u"sitting"_s, 3}, {u"abc"_s, u"abc"_s, 0},
        {u"café"_s, u"cafe"_s, 1},      {u"cafe\u0301"_s, u"café"_s, 0},
        {u"👍🏽"_s, u"👍"_s, 1},     {u"👨‍👩‍👧 hi"_s, u"hi"_s, 2},
        {u"שלום"_s, u"שלם"_s, 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Selector::editDistance(c.a, c.b), c.distance)
            << c.a.toStdString() << " / " << c.b.toStdString();
    }
}

TEST(ContextualAlternativeSelector, AcceptsOnlySmallEditsOfThePrimary) {
    EXPECT_TRUE(
        Selector::isConservativeAlternative(u"cloud code is great"_s, u"Claude Code is great"_s));
    EXPECT_FALSE(Selector::isConservativeAlternative(u"hi"_s, u"Claude Code"_s));
    EXPECT_TRUE(Selector::isConservativeAlternative(u"ab"_s, u"cd"_s));
    // Two words more is too many even when the characters barely change.
    EXPECT_FALSE(
        Selector::isConservativeAlternative(u"abcdefghijklmnop"_s, u"abcdefgh i j klmnop"_s));
    EXPECT_TRUE(Selector::isConservativeAlternative(u"abcdefghijklmnop"_s, u"abcdefgh ijklmnop"_s));
}

TEST(ContextualAlternativeSelector, ChoosesAStrictlyBetterConservativeAlternative) {
    const QStringList phrases{u"Claude Code"_s, u"Speech Analyzer"_s, u"Kubernetes"_s};
    const struct {
        const char* name;
        QString primary;
        QStringList alternatives;
        QString expected;
    } cases[] = {
        {"better and close",
         u"cloud code is great"_s,
         {u"Claude Code is great"_s},
         u"Claude Code is great"_s},
        {"better but too far", u"hi"_s, {u"Claude Code"_s}, u"hi"_s},
        {"single words never score",
         u"deploy to cubernetes"_s,
         {u"deploy to Kubernetes"_s},
         u"deploy to cubernetes"_s},
        {"ties keep the primary",
         u"Claude Code rocks"_s,
         {u"Claude Code rock"_s},
         u"Claude Code rocks"_s},
        {"earlier of equal alternatives",
         u"cloud code and speech analysis"_s,
         {u"Claude Code and speech analysis"_s, u"cloud code and Speech Analyzer"_s},
         u"Claude Code and speech analysis"_s},
        {"higher score later wins",
         u"cloud code and speech analysis"_s,
         {u"Claude Code and speech analysis"_s, u"Claude Code and Speech Analyzer"_s},
         u"Claude Code and Speech Analyzer"_s},
        {"empty alternatives skipped",
         u"cloud code"_s,
         {u""_s, u"?!"_s, u"Claude Code"_s},
         u"Claude Code"_s},
        {"no alternatives", u"cloud code"_s, {}, u"cloud code"_s},
        {"accents do not decide", u"cafe creme"_s, {u"Café Crème"_s}, u"cafe creme"_s},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Selector::choose(c.primary, c.alternatives, phrases), c.expected) << c.name;
    }
}

TEST(ContextualAlternativeSelector, MeasuresEveryAlternativeAgainstThePrimary) {
    // The second alternative has two words fewer than the first, which is the current best, but
    // only one fewer than the primary, so it still qualifies.
    const QStringList phrases{u"Claude Code"_s, u"claude code review"_s};
    const QString primary = u"please ask cloud code review this"_s;
    const QStringList alternatives{u"please ask Claude Code reviews this now"_s,
                                   u"please ask Claude Code review"_s};
    EXPECT_EQ(Selector::choose(primary, alternatives, phrases), u"please ask Claude Code review"_s);
}

} // namespace
} // namespace quovant
