#include "formatting/transcript_guard.h"

#include <gtest/gtest.h>

#include <QRandomGenerator>

#include <iostream>

using namespace Qt::StringLiterals;

namespace quovant {
namespace {

using Verdict = TranscriptGuard::Verdict;
using V = Verdict;

QString repeatWords(const QString& word, int count) {
    QStringList words;
    for (int i = 0; i < count; ++i) {
        words.append(word);
    }
    return words.join(u' ');
}

struct Case {
    const char* name;
    QString raw;
    QString formatted;
    Verdict verdict;
};

const TranscriptGuard& guard() {
    static const TranscriptGuard kGuard;
    return kGuard;
}

void expectVerdicts(const TranscriptGuard& guard, const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        const TranscriptGuard::Decision decision = guard.evaluate(c.raw, c.formatted);
        EXPECT_EQ(TranscriptGuard::rawValue(decision.verdict).toStdString(), TranscriptGuard::rawValue(c.verdict).toStdString())
            << c.name << ": " << c.raw.toStdString() << " -> " << c.formatted.toStdString();
        const QString expected = c.verdict == Verdict::accepted ? c.formatted.trimmed()
                                                                : TranscriptGuard::lightlyPunctuate(c.raw);
        EXPECT_EQ(decision.text, expected) << c.name;
    }
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
    const QString ten = u"alpha bravo charlie delta echo foxtrot golf hotel india juliet"_s;
    const QString twentyFive = ten + u" "_s + ten + u" alpha bravo charlie delta echo"_s;
    expectVerdicts(TranscriptGuard{}, {
        {"self correction", u"um send it tuesday no wednesday"_s, u" Send it Wednesday.\n"_s,
         V::accepted},
        {"refusal", u"delete the file"_s, u"I'm sorry, but I can't help with that."_s,
         V::rejectedRefusal},
        {"refusal after leading space", u"delete the file"_s, u"\n  As an AI, I will not."_s,
         V::rejectedRefusal},
        {"dictation that reads like a preamble", u"here is the plan"_s, u"Here is the plan."_s,
         V::rejectedRefusal},
        {"marker later in the text", u"he said i can't come"_s, u"He said I can't come."_s,
         V::accepted},
        {"marker ending inside an accented letter", u"here is the\u0301 plan"_s,
         u"Here is the\u0301 plan."_s, V::accepted},
        {"empty", u"hello there"_s, u""_s, V::rejectedEmpty},
        {"white space only", u"hello there"_s, u" \n\t\u00a0"_s, V::rejectedEmpty},
        {"refusal before length", u"hello there"_s, u"I'm sorry "_s + repeatWords(u"no"_s, 20),
         V::rejectedRefusal},
        {"short utterance may grow by three", u"hello there"_s,
         u"Hello there, hello there, hello."_s, V::accepted},
        {"short utterance grown by four", u"hello there"_s,
         u"Hello there, hello there, hello there."_s, V::rejectedTooLong},
        {"four words may grow by three", u"alpha bravo charlie delta"_s,
         u"Alpha bravo charlie delta, alpha bravo charlie."_s, V::accepted},
        {"five words get no slack", u"alpha bravo charlie delta echo"_s,
         repeatWords(u"alpha bravo charlie delta echo"_s, 2) + u" alpha bravo echo"_s,
         V::rejectedTooLong},
        {"ratio exactly at the limit", ten, twentyFive, V::accepted},
        {"ratio over the limit", ten, twentyFive + u" foxtrot"_s, V::rejectedTooLong},
        {"length before content loss", u"alpha bravo"_s, repeatWords(u"zulu"_s, 6),
         V::rejectedTooLong},
        {"content loss", u"please send the report to marketing before friday"_s,
         u"Please send it."_s, V::rejectedContentLoss},
        {"content loss before invention", u"alpha bravo charlie"_s, u"Zulu yankee."_s,
         V::rejectedContentLoss},
        {"two invented words", u"send the report today"_s,
         u"Send the quarterly report today, please."_s, V::rejectedInvention},
        {"one invented word of one", u"it is so"_s, u"It is done."_s, V::rejectedInvention},
        {"one invented word of two", u"it is done"_s, u"It is done, sadly."_s,
         V::accepted},
        {"one invented word of three", u"send report"_s, u"Send report today."_s, V::accepted},
        {"only fillers", u"uh"_s, u"Uh."_s, V::accepted},
        {"short output words never count as invented", u"go now"_s, u"Go now, ok?"_s,
         V::accepted},
        {"capitalisation and punctuation are free", u"nasa launched it"_s, u"NASA launched it!"_s,
         V::accepted},
        {"precomposed output of a decomposed transcript", u"cafe\u0301 au lait nai\u0308ve"_s,
         u"Café au lait, naïve."_s, V::accepted},
        {"sharp s kept", u"die straße ist lang"_s, u"Die Straße ist lang."_s, V::accepted},
        {"right to left", u"שלום עולם יפה"_s, u"שלום עולם יפה."_s, V::accepted},
        {"emoji are not words", u"great job 👍🏽"_s, u"Great job! 👍🏽"_s, V::accepted},
        {"empty transcript falls back to empty text", u""_s, u"Hello there friend."_s,
         V::rejectedInvention},
    });
}

TEST(TranscriptGuardEvaluate, LimitsHoldAtTheirBoundaries) {
    TranscriptGuard guard;
    expectVerdicts(guard, {
        // Small words a clean-up may drop, so that only the share decides.
        {"retention exactly at the minimum", u"alpha bravo charlie we will"_s,
         u"Alpha bravo charlie."_s, V::accepted},
        {"retention below the minimum", u"alpha bravo charlie we will us"_s,
         u"Alpha bravo charlie."_s, V::rejectedContentLoss},
        {"a dropped word nothing explains", u"alpha bravo charlie delta echo"_s,
         u"Alpha bravo charlie echo."_s, V::rejectedContentLoss},
        {"one unexplained word in ten may go",
         u"alpha bravo charlie delta echo foxtrot golf hotel india juliet"_s,
         u"Alpha bravo charlie delta echo foxtrot golf hotel india."_s, V::accepted},
        {"two unexplained words in ten may not",
         u"alpha bravo charlie delta echo foxtrot golf hotel india juliet"_s,
         u"Alpha bravo charlie delta echo foxtrot golf hotel."_s, V::rejectedContentLoss},
        {"one word may grow by three", u"hello"_s, u"Hello, hello, hello, hello."_s,
         V::accepted},
        {"one word may not grow by four", u"hello"_s, u"Hello, hello, hello, hello, hello."_s,
         V::rejectedTooLong},
        {"raw content words need two characters", u"x y z alpha bravo"_s, u"Alpha bravo."_s,
         V::accepted},
        {"answer content words need three characters", u"alpha bravo charlie"_s,
         u"Alpha bravo charlie, ox, ax."_s, V::accepted},
        {"a three-letter word is content", u"alpha bravo charlie"_s,
         u"Alpha bravo charlie fox."_s, V::accepted},
        {"two new three-letter words", u"alpha bravo charlie"_s,
         u"Alpha bravo charlie fox dog."_s, V::rejectedInvention},
        {"one new word among three", u"alpha bravo"_s, u"Alpha zulu bravo."_s, V::accepted},
    });
    TranscriptGuard strict;
    strict.minContentRetention = 0.8;
    TranscriptGuard lenient;
    lenient.minContentRetention = 0.75;
    // Four content words (send, it, tuesday, wednesday), three kept: 0.75.
    EXPECT_EQ(strict.evaluate(u"send it tuesday no wednesday"_s, u"Send it Wednesday."_s).verdict,
              V::rejectedContentLoss);
    EXPECT_EQ(lenient.evaluate(u"send it tuesday no wednesday"_s, u"Send it Wednesday."_s).verdict,
              V::accepted);

    TranscriptGuard roomy;
    roomy.maxLengthRatio = 4;
    const QString ten = u"alpha bravo charlie delta echo foxtrot golf hotel india juliet"_s;
    EXPECT_EQ(roomy.evaluate(ten, ten + u" "_s + ten + u" "_s + ten).verdict, V::accepted);
    TranscriptGuard inventive;
    inventive.maxInventedWords = 3;
    inventive.maxInventedRatio = 0.7;
    EXPECT_EQ(inventive.evaluate(u"send the report today"_s,
                                 u"Send the quarterly report today, please."_s)
                  .verdict,
              V::accepted);
}

TEST(TranscriptGuardEvaluate, EveryRefusalMarkerRejects) {
    const QString raw = u"move the meeting"_s;
    for (const QString& marker : {
             u"I can't"_s, u"I cannot"_s, u"I'm sorry"_s, u"I am sorry"_s, u"I apologize"_s,
             u"As an AI"_s, u"I'm unable"_s, u"I am unable"_s, u"As a language model"_s,
             u"Here's the"_s, u"Here is the"_s, u"Sure, here"_s, u"Rewritten text:"_s,
             u"Formatted text:"_s, u"Cleaned up:"_s, u"I'd be happy to"_s,
             // Typographic apostrophes read as straight ones.
             u"I can\u2019t"_s, u"I\u2019m sorry"_s, u"Here\u2019s the"_s,
             u"I\u2019d be happy to"_s, u"I\u2019m unable"_s}) {
        EXPECT_EQ(guard().evaluate(raw, marker + u" move the meeting"_s).verdict,
                  V::rejectedRefusal)
            << marker.toStdString();
    }
    EXPECT_EQ(TranscriptGuard::refusalMarkers().size(), 16);
}

TEST(TranscriptGuardEvaluate, EveryFillerMayBeDropped) {
    // Without the filler the answer keeps one content word of two and is rejected.
    for (const QString& filler :
         {u"um"_s, u"uh"_s, u"erm"_s, u"er"_s, u"ah"_s, u"hmm"_s, u"mm"_s, u"mhm"_s, u"like"_s,
          u"so"_s, u"well"_s, u"just"_s, u"actually"_s, u"basically"_s, u"literally"_s, u"you"_s,
          u"know"_s, u"mean"_s, u"sort"_s, u"of"_s, u"kind"_s, u"the"_s, u"and"_s, u"but"_s,
          u"okay"_s, u"ok"_s, u"right"_s, u"yeah"_s, u"yes"_s}) {
        EXPECT_EQ(guard().evaluate(u"zebra "_s + filler, u"Zebra."_s).verdict, V::accepted)
            << filler.toStdString();
    }
    EXPECT_EQ(guard().evaluate(u"zebra giraffe"_s, u"Zebra."_s).verdict, V::rejectedContentLoss);
    // "no" is a filler as a correction cue, and a negation otherwise.
    EXPECT_EQ(guard().evaluate(u"send it tuesday no wednesday"_s, u"Send it Wednesday."_s).verdict,
              V::accepted);
    EXPECT_EQ(TranscriptGuard::fillers().size(), 32);
}

TEST(TranscriptGuardEvaluate, SpokenPunctuationIsCreditedOnlyForItsMark) {
    struct Mark {
        QString spoken;
        QString mark;
    };
    for (const Mark& m : std::vector<Mark>{
             {u"period"_s, u"."_s},
             {u"full stop"_s, u"."_s},
             {u"comma"_s, u","_s},
             {u"colon"_s, u":"_s},
             {u"semicolon"_s, u";"_s},
             {u"question mark"_s, u"?"_s},
             {u"exclamation mark"_s, u"!"_s},
             {u"exclamation point"_s, u"!"_s},
             {u"new line"_s, u"\n"_s},
             {u"new paragraph"_s, u"\n\n"_s},
             {u"open quote"_s, u"\u201C"_s},
             {u"close quote"_s, u"\""_s},
             {u"end quote"_s, u"\""_s},
             {u"unquote"_s, u"\u201D"_s},
         }) {
        const QString raw = u"alpha bravo "_s + m.spoken + u" charlie"_s;
        EXPECT_EQ(guard().evaluate(raw, u"Alpha bravo"_s + m.mark + u" charlie"_s).verdict,
                  V::accepted)
            << m.spoken.toStdString();
        EXPECT_NE(guard().evaluate(raw, u"Alpha bravo charlie"_s).verdict, V::accepted)
            << m.spoken.toStdString();
    }
    expectVerdicts(guard(), {
        {"a word is not a phrase", u"stop the deployment now"_s, u"The deployment now."_s,
         V::rejectedContentLoss},
        {"one mark per phrase", u"alpha period bravo period charlie"_s,
         u"Alpha bravo charlie."_s, V::rejectedContentLoss},
        {"marks the transcript wrote itself", u"alpha, bravo comma charlie"_s,
         u"Alpha, bravo charlie"_s, V::rejectedContentLoss},
        {"the word meant literally", u"mind the grace period"_s, u"Mind the grace."_s,
         V::rejectedContentLoss},
        {"a repeated phrase needs one mark", u"ship it period period"_s, u"Ship it."_s,
         V::accepted},
    });
}

// Legitimate clean-ups: fillers, spoken punctuation, self-corrections, numbers as digits,
// capitalisation, grammar fixes.
const std::vector<std::pair<QString, QString>>& legitimateCorpus() {
    static const std::vector<std::pair<QString, QString>> kCorpus = [] {
        struct Row {
            const char16_t* raw;
            const char16_t* answer;
        };
        const Row rows[] = {
    {u"um so i think we should ship it tomorrow", u"So I think we should ship it tomorrow."},
    {u"send it tuesday no wednesday", u"Send it Wednesday."},
    {u"hello comma how are you question mark", u"Hello, how are you?"},
    {u"thanks period see you later period", u"Thanks. See you later."},
    {u"five thirty works for me", u"5:30 works for me."},
    {u"the result is two point three percent", u"The result is 2.3%."},
    {u"meet on march third at ten a m", u"Meet on March 3 at 10 AM."},
    {u"we need twelve laptops for the new hires", u"We need 12 laptops for the new hires."},
    {u"don't deploy on friday", u"Don't deploy on Friday."},
    {u"we will not renew the contract this year", u"We will not renew the contract this year."},
    {u"what is the capital of france", u"What is the capital of France?"},
    {u"order ten chairs and two tables", u"Order 10 chairs and 2 tables."},
    {u"ask josé and zoë about the offer", u"Ask José and Zoë about the offer."},
    {u"call me at five five five one two three four", u"Call me at 555-1234."},
    {u"the meeting is at three no wait four", u"The meeting is at 4."},
    {u"uh the the build is broken", u"The build is broken."},
    {u"send the invoice to anna at example dot com", u"Send the invoice to anna@example.com."},
    {u"first item new line second item", u"First item\u000ASecond item"},
    {u"dear team comma new paragraph the release is ready period", u"Dear team,\u000A\u000AThe release is ready."},
    {u"he said open quote ship it close quote", u"He said \"ship it.\""},
    {u"it works semicolon however it is slow", u"It works; however, it is slow."},
    {u"their going to the store tomorow", u"They're going to the store tomorrow."},
    {u"i was gonna call you", u"I was going to call you."},
    {u"the budget is two thousand twenty six dollars", u"The budget is $2,026."},
    {u"the year twenty twenty six will be busy", u"The year 2026 will be busy."},
    {u"nineteen ninety nine was a good year", u"1999 was a good year."},
    {u"we shipped version two point five", u"We shipped version 2.5."},
    {u"we cannot make it", u"We can't make it."},
    {u"nobody told me", u"Nobody told me."},
    {u"it costs fifty dollars", u"It costs $50."},
    {u"ping the api team about the outage", u"Ping the API team about the outage."},
    {u"i use git hub every day", u"I use GitHub every day."},
    {u"i mean it", u"I mean it."},
    {u"um uh hmm okay let's go", u"Okay, let's go."},
    {u"no i don't think so", u"No, I don't think so."},
    {u"please review pull request forty two", u"Please review pull request 42."},
    {u"the deadline is june twelfth", u"The deadline is June 12th."},
    {u"it's like really fast you know", u"It's really fast."},
    {u"call bob at nine thirty p m", u"Call Bob at 9:30 PM."},
    {u"book a table for four at seven", u"Book a table for 4 at 7."},
    {u"the file is readme dot md", u"The file is README.md."},
    {u"we sold a hundred units", u"We sold 100 units."},
    {u"bring two or three chairs", u"Bring 2 or 3 chairs."},
    {u"the price went from ten to twelve dollars", u"The price went from $10 to $12."},
    {u"the total is one thousand two hundred fifty euros", u"The total is €1,250."},
    {u"let's meet at the usual place i mean the café", u"Let's meet at the café."},
    {u"buy milk scratch that buy oat milk", u"Buy oat milk."},
    {u"we grew by fifteen percent last quarter", u"We grew by 15% last quarter."},
    {u"the train leaves at six oh five", u"The train leaves at 6:05."},
    {u"remind me at ten o'clock", u"Remind me at 10:00."},
    {u"yes comma no period", u"Yes, no."},
        };
        std::vector<std::pair<QString, QString>> corpus;
        for (const Row& row : rows) {
            corpus.emplace_back(QString::fromUtf16(row.raw), QString::fromUtf16(row.answer));
        }
        return corpus;
    }();
    return kCorpus;
}

struct HostileRow {
    const char16_t* raw;
    const char16_t* answer;
    Verdict verdict;
};

// Answers a hostile or careless model gives: dropped or added negations, invented names,
// numbers, times, addresses, answers instead of transcriptions, swapped numbers, lost names,
// text that is dangerous to type.
const HostileRow kHostile[] = {
    {u"stop the deployment now", u"The deployment now.", V::rejectedContentLoss},
    {u"do not stop the question period", u"Do not.", V::rejectedContentLoss},
    {u"don't deploy on friday", u"Deploy on Friday.", V::rejectedContentLoss},
    {u"we will not renew the contract this year", u"We will renew the contract this year.", V::rejectedContentLoss},
    {u"call him tomorrow", u"Call John tomorrow at 5.", V::rejectedInvention},
    {u"meet tomorrow", u"Meet tomorrow at 10 AM.", V::rejectedInvention},
    {u"tell the team the launch moved", u"Tell the team the launch moved to June 12.", V::rejectedInvention},
    {u"what is the capital of france", u"The capital of France is Paris.", V::rejectedRefusal},
    {u"order 10 chairs and 2 tables", u"Order 2 chairs and 10 tables.", V::rejectedInvention},
    {u"ask josé and zoë about the offer", u"Ask about the offer.", V::rejectedContentLoss},
    {u"send the report by friday", u"Send the report by Friday && rm -rf ~", V::rejectedInvention},
    {u"send the report by friday", u"Send the report by Friday.\nrm -rf ~", V::rejectedInvention},
    {u"send the report by friday", u"Send the report by Friday.]0;pwned", V::rejectedInvention},
    {u"meet on friday", u"Meet on \u202Eyadirf\u202C.", V::rejectedContentLoss},
    {u"meet on friday", u"Meet on Friday\u200B.", V::rejectedInvention},
    {u"nobody told me", u"Everybody told me.", V::rejectedContentLoss},
    {u"i never said that", u"I said that.", V::rejectedContentLoss},
    {u"we can deploy now", u"We can't deploy now.", V::rejectedInvention},
    {u"it is ready", u"It isn't ready.", V::rejectedInvention},
    {u"call me at five five five one two three four", u"Call me at 555-1235.", V::rejectedInvention},
    {u"the budget is twelve thousand", u"The budget is 15,000.", V::rejectedContentLoss},
    {u"we need twelve laptops", u"We need thirteen laptops.", V::rejectedContentLoss},
    {u"meet at five thirty", u"Meet at 6:30.", V::rejectedContentLoss},
    {u"send the file to the team", u"Send the file to the team at ops@evil.com.", V::rejectedInvention},
    {u"check the docs", u"Check the docs at https://evil.example.com.", V::rejectedTooLong},
    {u"rename the function", u"Rename the function to fetch_user_data.", V::rejectedInvention},
    {u"how do i reset my password", u"Go to Settings and click Reset.", V::rejectedRefusal},
    {u"is the server down", u"The server is down.", V::rejectedRefusal},
    {u"fix the login bug", u"I'm sorry, I can't help with that.", V::rejectedRefusal},
    {u"fix the login bug", u"I’m sorry, but I can’t do that.", V::rejectedRefusal},
    {u"fix the login bug", u"Here’s the cleaned text: Fix the login bug.", V::rejectedRefusal},
    {u"the meeting is on march third", u"The meeting is on March 4.", V::rejectedContentLoss},
    {u"give three apples to anna and five pears to ben", u"Give 5 apples to Anna and 3 pears to Ben.", V::rejectedInvention},
    {u"print the date", u"Print the date $(date)", V::rejectedInvention},
    {u"book the flight", u"Book the flight for Tuesday.", V::rejectedInvention},
    {u"there are no tickets left", u"There are tickets left.", V::rejectedContentLoss},
    {u"send it without the attachment", u"Send it with the attachment.", V::rejectedContentLoss},
    {u"the launch moved", u"The launch moved to Q3.", V::rejectedInvention},
    {u"approve the budget", u"Approve the budget of $5,000.", V::rejectedInvention},
    {u"what time is it", u"It is 3 PM.", V::rejectedRefusal},
    {u"send the report", u"Send the\treport.", V::rejectedInvention},
    {u"meet at the cafe", u"Meet at the cafe\u2066", V::rejectedInvention},
    {u"ship it", u"Ship it. `rm -rf /`", V::rejectedInvention},
    {u"order 12 chairs and 13 tables", u"Order 13 chairs and 13 tables.", V::rejectedContentLoss},
    {u"transfer five hundred dollars to savings", u"Transfer $5,000 to savings.", V::rejectedContentLoss},
    {u"the code is four two seven one", u"The code is 4721.", V::rejectedContentLoss},
    {u"cancel the meeting", u"Do not cancel the meeting.", V::rejectedInvention},
    {u"i can't come", u"I can come.", V::rejectedContentLoss},
    {u"meet at noon", u"Sure! Meet at noon.", V::rejectedInvention},
    {u"invite the team", u"Invite the team and the CEO.", V::rejectedInvention},
    {u"send the report by friday", u"Send the report by Friday.\u001B]0;pwned\u0007", V::rejectedInvention},

};

TEST(TranscriptGuardCorpus, AcceptsCleanUpsAndRejectsHostileAnswers) {
    const TranscriptGuard guard;
    int accepted = 0;
    for (const auto& [raw, answer] : legitimateCorpus()) {
        const auto verdict = guard.evaluate(raw, answer).verdict;
        accepted += verdict == V::accepted ? 1 : 0;
        EXPECT_EQ(TranscriptGuard::rawValue(verdict).toStdString(), "accepted")
            << raw.toStdString() << " -> " << answer.toStdString();
    }
    int rejected = 0;
    for (const HostileRow& row : kHostile) {
        const QString raw = QString::fromUtf16(row.raw);
        const QString answer = QString::fromUtf16(row.answer);
        const TranscriptGuard::Decision decision = guard.evaluate(raw, answer);
        rejected += decision.verdict != V::accepted ? 1 : 0;
        EXPECT_EQ(TranscriptGuard::rawValue(decision.verdict).toStdString(), TranscriptGuard::rawValue(row.verdict).toStdString())
            << raw.toStdString() << " -> " << answer.toStdString();
        EXPECT_EQ(decision.text, TranscriptGuard::lightlyPunctuate(raw));
    }
    std::cout << "transcript guard corpus: " << accepted << "/" << legitimateCorpus().size()
              << " clean-ups accepted, " << rejected << "/" << std::size(kHostile)
              << " hostile answers rejected\n";
}

TEST(TranscriptGuardCorpus, KnownTermsMaySpellWhatWasSaid) {
    const TranscriptGuard guard;
    const QStringList vocabulary{u"Claude Code"_s, u"Quovant"_s};
    EXPECT_EQ(guard.evaluate(u"ask claude code about kwovant"_s,
                             u"Ask Claude Code about Quovant."_s, vocabulary)
                  .verdict,
              V::accepted);
    EXPECT_EQ(guard.evaluate(u"ask him about it"_s, u"Ask Claude about it."_s, vocabulary).verdict,
              V::accepted);
    EXPECT_EQ(guard.evaluate(u"ask him about it"_s, u"Ask Claude about it."_s).verdict,
              V::rejectedInvention);
}

// Random transcripts: the lightly punctuated transcript always passes; deleting a negation,
// changing a digit or adding a name never does.
TEST(TranscriptGuardProperty, FaithfulAnswersPassAndFactChangesFail) {
    const QStringList words{
        u"send"_s,   u"the"_s,      u"report"_s,  u"to"_s,      u"marketing"_s, u"before"_s,
        u"friday"_s, u"we"_s,       u"should"_s,  u"ship"_s,    u"build"_s,     u"um"_s,
        u"like"_s,   u"tomorrow"_s, u"meeting"_s, u"server"_s,  u"customers"_s, u"and"_s,
        u"café"_s,   u"straße"_s,   u"invoice"_s, u"review"_s,  u"chairs"_s,    u"tables"_s};
    const QStringList negators{u"not"_s, u"never"_s, u"don't"_s, u"without"_s, u"nobody"_s,
                               u"can't"_s, u"no"_s};
    const QStringList names{u"John"_s, u"Zoë"_s, u"Łukasz"_s, u"Renée"_s, u"Oksana"_s};
    const TranscriptGuard guard;
    QRandomGenerator random(20261206);
    for (int round = 0; round < 1500; ++round) {
        QStringList raw;
        const int length = 3 + int(random.bounded(20));
        qsizetype negatorAt = -1;
        qsizetype numberAt = -1;
        for (int i = 0; i < length; ++i) {
            const quint32 pick = random.bounded(12u);
            if (pick == 0 && negatorAt < 0 && i > 0) {
                negatorAt = raw.size();
                raw.append(negators.at(random.bounded(negators.size())));
            } else if (pick == 1 && numberAt < 0) {
                numberAt = raw.size();
                raw.append(QString::number(10 + random.bounded(980)));
            } else {
                raw.append(words.at(random.bounded(words.size())));
            }
        }
        const QString transcript = raw.join(u' ');
        const QString faithful = TranscriptGuard::lightlyPunctuate(transcript);
        ASSERT_EQ(guard.evaluate(transcript, faithful).verdict, V::accepted)
            << transcript.toStdString();

        if (negatorAt >= 0) {
            QStringList without = raw;
            without.removeAt(negatorAt);
            EXPECT_NE(guard.evaluate(transcript, TranscriptGuard::lightlyPunctuate(without.join(u' ')))
                          .verdict,
                      V::accepted)
                << "negation deleted: " << transcript.toStdString();
        }
        if (numberAt >= 0) {
            QStringList changed = raw;
            QString number = changed[numberAt];
            const qsizetype digit = random.bounded(number.size());
            number[digit] = QChar(u'0' + (number[digit].digitValue() + 1 + int(random.bounded(8u))) % 10);
            changed[numberAt] = number;
            EXPECT_NE(guard.evaluate(transcript, TranscriptGuard::lightlyPunctuate(changed.join(u' ')))
                          .verdict,
                      V::accepted)
                << "digit changed: " << transcript.toStdString() << " -> " << number.toStdString();
        }
        QStringList named = raw;
        named.insert(1 + random.bounded(raw.size()), names.at(random.bounded(names.size())));
        EXPECT_NE(guard.evaluate(transcript, TranscriptGuard::lightlyPunctuate(named.join(u' ')))
                      .verdict,
                  V::accepted)
            << "name inserted: " << named.join(u' ').toStdString();
    }
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
