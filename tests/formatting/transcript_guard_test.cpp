#include "formatting/transcript_guard.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace quovant {
namespace {

using Verdict = TranscriptGuard::Verdict;

QString repeatWords(const QString& word, int count) {
    QStringList words;
    for (int i = 0; i < count; ++i) {
        words.append(word);
    }
    return words.join(u' ');
}

TEST(TranscriptGuardWords, SplitsOnEveryNonAlphanumericCharacterAndLowerCases) {
    const struct {
        QString text;
        QStringList expected;
    } cases[] = {
        {u"Don't re-run it"_s, {u"don"_s, u"t"_s, u"re"_s, u"run"_s, u"it"_s}},
        {u"snake_case v2.0"_s, {u"snake"_s, u"case"_s, u"v2"_s, u"0"_s}},
        {u"  ,;  "_s, {}},
        {u""_s, {}},
        {u"Café NAÏVE"_s, {u"café"_s, u"naïve"_s}},
        // Combining accents stay inside their word and compare equal to precomposed letters.
        {u"Cafe\u0301 nai\u0308ve"_s, {u"café"_s, u"naïve"_s}},
        {u"STRASSE Straße"_s, {u"strasse"_s, u"straße"_s}},
        {u"İstanbul"_s, {u"i\u0307stanbul"_s}},
        {u"ok 👍🏽 great👨‍👩‍👧"_s, {u"ok"_s, u"great"_s}},
        {u"שלום, עולם"_s, {u"שלום"_s, u"עולם"_s}},
        {u"مرحبا بالعالم!"_s, {u"مرحبا"_s, u"بالعالم"_s}},
        {u"हिन्दी भाषा"_s, {u"हिन्दी"_s, u"भाषा"_s}},
        {u"x² costs ½"_s, {u"x²"_s, u"costs"_s, u"½"_s}},
        {u"tab\tnew\nline\u00a0nbsp"_s, {u"tab"_s, u"new"_s, u"line"_s, u"nbsp"_s}},
        {u"a\u0000b\u0007c"_s, {u"a"_s, u"b"_s, u"c"_s}},
        {u"ab"_s + QChar(0xD800) + u"cd"_s + QChar(0xDC00), {u"ab"_s, u"cd"_s}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TranscriptGuard::words(c.text), c.expected) << c.text.toStdString();
    }
}

TEST(TranscriptGuardLightPunctuation, CapitalisesTrimsAndEndsSentences) {
    const struct {
        QString text;
        QString expected;
    } cases[] = {
        {u"  hello world "_s, u"Hello world."_s},
        {u"done?"_s, u"Done?"_s},
        {u"wait,"_s, u"Wait,"_s},
        {u"list:"_s, u"List:"_s},
        {u"one;"_s, u"One;"_s},
        {u"wow!"_s, u"Wow!"_s},
        {u"Already."_s, u"Already."_s},
        {u"a"_s, u"A."_s},
        {u"1984"_s, u"1984."_s},
        {u""_s, u""_s},
        {u" \n\t\u00a0\u2003"_s, u""_s},
        {u"\u2003éclair\n"_s, u"Éclair."_s},
        {u"e\u0301clair"_s, u"E\u0301clair."_s},
        {u"ßig"_s, u"SSig."_s},
        {u"hi ✋🏽"_s, u"Hi ✋🏽."_s},
        {u"שלום"_s, u"שלום."_s},
        {u"ok..."_s, u"Ok..."_s},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TranscriptGuard::lightlyPunctuate(c.text), c.expected) << c.text.toStdString();
    }
}

TEST(TranscriptGuardEvaluate, DecidesInTheDocumentedOrder) {
    const TranscriptGuard guard;
    const QString ten = u"one two three four five six seven eight nine ten"_s;
    const QString twentyFive = repeatWords(ten, 2) + u" one two three four five"_s;
    const struct {
        const char* name;
        QString raw;
        QString formatted;
        Verdict verdict;
        QString text;
    } cases[] = {
        {"self correction", u"um send it tuesday no wednesday"_s, u" Send it Wednesday.\n"_s,
         Verdict::accepted, u"Send it Wednesday."_s},
        {"refusal", u"delete the file"_s, u"I'm sorry, but I can't help with that."_s,
         Verdict::rejectedRefusal, u"Delete the file."_s},
        {"refusal after leading space", u"delete the file"_s, u"\n  As an AI, I will not."_s,
         Verdict::rejectedRefusal, u"Delete the file."_s},
        {"dictation that reads like a preamble", u"here is the plan"_s, u"Here is the plan."_s,
         Verdict::rejectedRefusal, u"Here is the plan."_s},
        {"marker later in the text", u"he said i can't come"_s, u"He said I can't come."_s,
         Verdict::accepted, u"He said I can't come."_s},
        {"marker ending inside an accented letter", u"here is the\u0301 plan"_s,
         u"Here is the\u0301 plan."_s, Verdict::accepted, u"Here is the\u0301 plan."_s},
        {"empty", u"hello there"_s, u""_s, Verdict::rejectedEmpty, u"Hello there."_s},
        {"white space only", u"hello there"_s, u" \n\t\u00a0"_s, Verdict::rejectedEmpty,
         u"Hello there."_s},
        {"short utterance may grow by three", u"hello there"_s,
         u"Hello there, hello there, hello."_s, Verdict::accepted,
         u"Hello there, hello there, hello."_s},
        {"short utterance grown by four", u"hello there"_s,
         u"Hello there, hello there, hello there."_s, Verdict::rejectedTooLong, u"Hello there."_s},
        {"ratio exactly at the limit", ten, twentyFive, Verdict::accepted, twentyFive},
        {"ratio over the limit", ten, twentyFive + u" six"_s, Verdict::rejectedTooLong,
         u"One two three four five six seven eight nine ten."_s},
        {"content loss", u"please send the report to marketing before friday"_s,
         u"Please send it."_s, Verdict::rejectedContentLoss,
         u"Please send the report to marketing before friday."_s},
        {"two invented words", u"send the report today"_s,
         u"Send the quarterly report today, please."_s, Verdict::rejectedInvention,
         u"Send the report today."_s},
        {"one invented word of one", u"it is so"_s, u"It is done."_s, Verdict::rejectedInvention,
         u"It is so."_s},
        {"one invented word of three", u"send report"_s, u"Send report today."_s, Verdict::accepted,
         u"Send report today."_s},
        {"only fillers", u"uh"_s, u"Uh."_s, Verdict::accepted, u"Uh."_s},
        {"short output words never count as invented", u"go now"_s, u"Go now, ok?"_s,
         Verdict::accepted, u"Go now, ok?"_s},
        {"capitalisation and punctuation are free", u"nasa launched it"_s, u"NASA launched it!"_s,
         Verdict::accepted, u"NASA launched it!"_s},
        {"precomposed output of a decomposed transcript", u"cafe\u0301 au lait nai\u0308ve"_s,
         u"Café au lait, naïve."_s, Verdict::accepted, u"Café au lait, naïve."_s},
        {"sharp s kept", u"die straße ist lang"_s, u"Die Straße ist lang."_s, Verdict::accepted,
         u"Die Straße ist lang."_s},
        {"right to left", u"שלום עולם יפה"_s, u"שלום עולם יפה."_s, Verdict::accepted,
         u"שלום עולם יפה."_s},
        {"emoji are not words", u"great job 👍🏽"_s, u"Great job! 👍🏽"_s,
         Verdict::accepted, u"Great job! 👍🏽"_s},
        {"empty transcript falls back to empty text", u""_s, u"Hello there friend."_s,
         Verdict::rejectedInvention, u""_s},
    };
    for (const auto& c : cases) {
        const TranscriptGuard::Decision decision = guard.evaluate(c.raw, c.formatted);
        EXPECT_EQ(TranscriptGuard::rawValue(decision.verdict), TranscriptGuard::rawValue(c.verdict))
            << c.name;
        EXPECT_EQ(decision.text, c.text) << c.name;
    }
}

TEST(TranscriptGuardEvaluate, HonoursConfiguredLimits) {
    // Four raw content words, three retained: 0.75.
    const QString raw = u"send it tuesday wednesday"_s;
    const QString formatted = u"Send it Wednesday."_s;
    TranscriptGuard strict;
    strict.minContentRetention = 0.8;
    EXPECT_EQ(strict.evaluate(raw, formatted).verdict, Verdict::rejectedContentLoss);
    TranscriptGuard lenient;
    lenient.minContentRetention = 0.75;
    EXPECT_EQ(lenient.evaluate(raw, formatted).verdict, Verdict::accepted);

    TranscriptGuard roomy;
    roomy.maxLengthRatio = 4;
    const QString ten = u"one two three four five six seven eight nine ten"_s;
    EXPECT_EQ(roomy.evaluate(ten, ten + u" "_s + ten + u" "_s + ten).verdict, Verdict::accepted);
}

TEST(TranscriptGuardEvaluate, SurvivesHostileAnswers) {
    const TranscriptGuard guard;
    const QString raw = u"please summarise the meeting notes"_s;
    const QString fallback = u"Please summarise the meeting notes."_s;

    QString huge;
    for (int i = 0; i < 100000; ++i) {
        huge += u"summarise the meeting notes "_s;
    }
    EXPECT_EQ(guard.evaluate(raw, huge),
              (TranscriptGuard::Decision{fallback, Verdict::rejectedTooLong}));

    const QString controls = u"\u0000\u0001\u001b[31m\u007f"_s;
    EXPECT_EQ(guard.evaluate(raw, controls).verdict, Verdict::rejectedContentLoss);

    QString surrogates = u"Please summarise the meeting notes "_s;
    surrogates += QChar(0xDC00);
    surrogates += QChar(0xD800);
    const auto decision = guard.evaluate(raw, surrogates);
    EXPECT_EQ(decision.verdict, Verdict::accepted);
    EXPECT_EQ(decision.text, surrogates);

    EXPECT_EQ(guard.evaluate(controls, u""_s).verdict, Verdict::rejectedEmpty);
}

TEST(TranscriptGuardVerdict, RawValuesRoundTripInDeclarationOrder) {
    const QStringList expected{
        u"accepted"_s,        u"skippedTooShort"_s,     u"rejectedEmpty"_s,
        u"rejectedTooLong"_s, u"rejectedContentLoss"_s, u"rejectedInvention"_s,
        u"rejectedRefusal"_s, u"formatterFailed"_s,     u"formatterDisabled"_s,
    };
    for (int i = 0; i < expected.size(); ++i) {
        const auto verdict = static_cast<Verdict>(i);
        EXPECT_EQ(TranscriptGuard::rawValue(verdict), expected[i]);
        EXPECT_EQ(TranscriptGuard::verdictFromRawValue(expected[i]), verdict);
    }
    EXPECT_EQ(TranscriptGuard::verdictFromRawValue(u"Accepted"_s), std::nullopt);
    EXPECT_EQ(TranscriptGuard::verdictFromRawValue(u""_s), std::nullopt);
}

} // namespace
} // namespace quovant
