#include "formatting/guard_text.h"
#include "formatting/spoken_numbers.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace quovant {
namespace {

struct RunCase {
    QString text;
    QStringList groups;    // of the first run
    QStringList readings;  // among the whole run's readings
};

TEST(SpokenNumbers, ReadsSpokenAndWrittenNumbersAlike) {
    const RunCase cases[] = {
        {u"twelve laptops"_s, {u"12"_s}, {u"12"_s}},
        {u"five thirty"_s, {u"5"_s, u"30"_s}, {u"5:30"_s, u"530"_s}},
        {u"six oh five"_s, {u"6"_s, u"05"_s}, {u"6:05"_s}},
        {u"two point three"_s, {u"2.3"_s}, {u"2.3"_s}},
        {u"point five"_s, {u"0.5"_s}, {u"0.5"_s}},
        {u"march third"_s, {u"3"_s}, {u"3"_s}},
        {u"twenty first"_s, {u"21"_s}, {u"21"_s}},
        {u"a hundred"_s, {u"100"_s}, {u"100"_s}},
        {u"twelve hundred"_s, {u"1200"_s}, {u"1200"_s}},
        {u"one hundred and twenty three thousand four hundred five"_s, {u"123405"_s}, {u"123405"_s}},
        {u"two thousand twenty six"_s, {u"2026"_s}, {u"2026"_s}},
        {u"twenty twenty six"_s, {u"20"_s, u"26"_s}, {u"2026"_s}},
        {u"nineteen ninety nine"_s, {u"19"_s, u"99"_s}, {u"1999"_s}},
        {u"five five five one two three four"_s, {u"5"_s, u"5"_s, u"5"_s, u"1"_s, u"2"_s, u"3"_s, u"4"_s},
         {u"5551234"_s}},
        {u"ten o'clock"_s, {u"10"_s}, {u"10"_s, u"10:00"_s}},
        {u"5:30 pm"_s, {u"5:30"_s}, {u"5:30"_s}},
        {u"05:30"_s, {u"5:30"_s}, {u"5:30"_s}},
        {u"1,250 euros"_s, {u"1250"_s}, {u"1250"_s}},
        {u"the 3rd"_s, {u"3"_s}, {u"3"_s}},
        {u"٤٢ items"_s, {u"42"_s}, {u"42"_s}},
        {u"v2 and 007"_s, {u"7"_s}, {u"7"_s}},
        {u"1, 2"_s, {u"1"_s, u"2"_s}, {u"12"_s}},
    };
    for (const RunCase& c : cases) {
        const QList<NumberRun> runs = SpokenNumbers::runs(SpokenNumbers::tokens(c.text));
        ASSERT_FALSE(runs.isEmpty()) << c.text.toStdString();
        EXPECT_EQ(runs.front().groups, c.groups) << c.text.toStdString();
        for (const QString& reading : c.readings) {
            EXPECT_TRUE(runs.front().wholeReadings.contains(reading))
                << c.text.toStdString() << " lacks " << reading.toStdString();
        }
    }
    for (const QString& words : {u"no numbers here"_s, u"a cat"_s, u"oh well"_s, u""_s}) {
        EXPECT_TRUE(SpokenNumbers::runs(SpokenNumbers::tokens(words)).isEmpty())
            << words.toStdString();
    }
}

TEST(SpokenNumbers, RunsKnowWhatTheyCountAndWhichAreAmbiguous) {
    const QList<NumberRun> runs =
        SpokenNumbers::runs(SpokenNumbers::tokens(u"order ten um chairs at ten a m, one of them"_s));
    ASSERT_EQ(runs.size(), 3);
    EXPECT_EQ(runs[0].counted, u"chairs"_s);
    EXPECT_EQ(runs[1].counted, u"am"_s);
    EXPECT_TRUE(runs[2].ambiguous);
    EXPECT_FALSE(runs[0].ambiguous);
    // Every stretch of a run is a form a rewrite may write.
    const QList<NumberRun> phone =
        SpokenNumbers::runs(SpokenNumbers::tokens(u"five five five one two three four"_s));
    EXPECT_TRUE(phone.front().forms.contains(u"555"_s));
    EXPECT_TRUE(phone.front().forms.contains(u"1234"_s));
    EXPECT_FALSE(phone.front().forms.contains(u"1235"_s));
}

TEST(SpokenNumbers, TokensStraightenApostrophesAndLowerCase) {
    const QList<TextToken> tokens = SpokenNumbers::tokens(u"Don’t ÉCRIRE x\u0301 3rd"_s);
    QStringList texts;
    for (const TextToken& token : tokens) {
        texts.append(token.text);
    }
    EXPECT_EQ(texts, (QStringList{u"don't"_s, u"écrire"_s, u"x\u0301"_s, u"3"_s}));
    EXPECT_EQ(tokens[1].original, u"ÉCRIRE"_s);
    EXPECT_TRUE(tokens[3].number);
}

TEST(GuardText, PatternsThatDoNotCompileAreSkipped) {
    const auto compiled = guard_text::compileFactPatterns({
        {u"\\d+"_s, nullptr},
        {u"(unclosed"_s, nullptr},
        {u"[a-z]+"_s, nullptr},
    });
    ASSERT_EQ(compiled.size(), 2);
    EXPECT_TRUE(compiled[0].regex->contains(u"42"_s));
    EXPECT_TRUE(compiled[1].regex->contains(u"abc"_s));
}

TEST(GuardText, NegationsAreCountedOncePerStutter) {
    const auto count = [](const QString& text) {
        return guard_text::negationCount(SpokenNumbers::tokens(text));
    };
    EXPECT_EQ(count(u"we will not go"_s), 1);
    EXPECT_EQ(count(u"we won’t go, never"_s), 2);
    EXPECT_EQ(count(u"no no no, nobody cannot"_s), 3);
    EXPECT_EQ(count(u"dont and cant and without"_s), 3);
    EXPECT_EQ(count(u"note the notice"_s), 0);
}

TEST(GuardText, SpellingFixesAreSmallEditsOrSoundAlikes) {
    EXPECT_TRUE(guard_text::isSpellingFix(u"tomorow"_s, u"tomorrow"_s));
    EXPECT_TRUE(guard_text::isSpellingFix(u"recieve"_s, u"receive"_s));
    EXPECT_TRUE(guard_text::isSpellingFix(u"irregardless"_s, u"regardless"_s));
    EXPECT_TRUE(guard_text::isSpellingFix(u"their"_s, u"they're"_s));
    EXPECT_TRUE(guard_text::isSpellingFix(u"its"_s, u"it's"_s));
    EXPECT_FALSE(guard_text::isSpellingFix(u"now"_s, u"not"_s));
    EXPECT_FALSE(guard_text::isSpellingFix(u"store"_s, u"casino"_s));
    EXPECT_FALSE(guard_text::isSpellingFix(u"1234"_s, u"1235"_s));
    EXPECT_EQ(guard_text::editDistance(u"kitten", u"sitting", 5), 3);
    EXPECT_EQ(guard_text::editDistance(u"kitten", u"sitting", 1), 2);
}

} // namespace
} // namespace quovant
