#include "core/quovant_error.h"
#include "formatting/builtin_formatter.h"
#include "formatting/developer_prompt_document.h"
#include "formatting/developer_prompt_guard.h"
#include "formatting/formatting_context.h"
#include "formatting/rewrite_command.h"
#include "formatting/rewrite_guard.h"
#include "formatting/transcript_guard.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <QRandomGenerator>
#include <QSet>

using namespace Qt::StringLiterals;
using namespace quovant;

namespace {

struct Case {
    const char16_t* raw;
    const char16_t* expected;
};

// Recogniser-style transcripts (lower case, no punctuation) and the text that should ship.
const Case kCorpus[] = {
    {u"hello world", u"Hello world."},
    {u"um so i think we should ship it tomorrow", u"So I think we should ship it tomorrow."},
    {u"uh can you send me the report", u"Can you send me the report?"},
    {u"what time is the meeting", u"What time is the meeting?"},
    {u"is it ready", u"Is it ready?"},
    {u"send it tuesday no wait wednesday", u"Send it Wednesday."},
    {u"let's meet on friday no wait on saturday", u"Let's meet on Saturday."},
    {u"the the build is broken", u"The build is broken."},
    {u"hello comma how are you question mark", u"Hello, how are you?"},
    {u"thanks period see you later period", u"Thanks. See you later."},
    {u"dear anna comma new paragraph thanks for the update period",
     u"Dear anna,\n\nThanks for the update."},
    {u"first item new line second item", u"First item.\nSecond item."},
    {u"the comma is missing in this sentence", u"The comma is missing in this sentence."},
    {u"we need a period of quiet", u"We need a period of quiet."},
    {u"add a new line of code here", u"Add a new line of code here."},
    {u"he said open quote ship it close quote and left", u"He said \"ship it\" and left."},
    {u"the deadline is friday exclamation mark", u"The deadline is Friday!"},
    {u"wow exclamation point that was fast", u"Wow! That was fast."},
    {u"note colon the server restarts at noon", u"Note: the server restarts at noon."},
    {u"it works semicolon however it is slow", u"It works; however it is slow."},
    {u"buy milk scratch that buy oat milk", u"Buy oat milk."},
    {u"um uh er hmm okay let's go", u"Okay let's go."},
    {u"it was great you know", u"It was great."},
    {u"do you know the answer", u"Do you know the answer?"},
    {u"i like this design", u"I like this design."},
    {u"it's um like really fast", u"It's really fast."},
    {u"i mean it", u"I mean it."},
    {u"this is kind of important", u"This is kind of important."},
    {u"the file is readme.md", u"The file is readme.md."},
    {u"open https://example.com/docs in the browser",
     u"Open https://example.com/docs in the browser."},
    {u"run npm install then npm test", u"Run npm install then npm test."},
    {u"my number is five five five one two three four",
     u"My number is five five five one two three four."},
    {u"version 2.5 is out", u"Version 2.5 is out."},
    {u"i'm not sure i'll be there", u"I'm not sure I'll be there."},
    {u"i've told you i'd help", u"I've told you I'd help."},
    {u"ok", u"Ok."},
    {u"", u""},
    {u"um", u""},
    {u"comma", u""},
    {u"th- the test passed", u"The test passed."},
    {u"we we we need more time", u"We need more time."},
    {u"that that is the problem", u"That that is the problem."},
    {u"he had had enough", u"He had had enough."},
    {u"café au lait for naïve people", u"Café au lait for naïve people."},
    {u"straße is a german word", u"Straße is a german word."},
    {u"élan is french", u"Élan is french."},
    {u"send 👍🏽 to the team", u"Send 👍🏽 to the team."},
    {u"where are the logs", u"Where are the logs?"},
    {u"why does it fail", u"Why does it fail?"},
    {u"how do i reset it", u"How do I reset it?"},
    {u"when i get home i will call", u"When I get home I will call."},
    {u"can we move it to thursday", u"Can we move it to Thursday?"},
    {u"please review pull request 42", u"Please review pull request 42."},
    {u"the function get_user_id returns null", u"The function get_user_id returns null."},
    {u"edit src/main.cpp and rebuild", u"Edit src/main.cpp and rebuild."},
    {u"ship it period period", u"Ship it."},
    {u"period ship it", u"Ship it."},
    {u"Already Clean.", u"Already Clean."},
    {u"meet at three no wait four", u"Meet at four."},
    {u"so yeah we're done", u"So yeah we're done."},
    {u"new paragraph", u""},
    {u"a question mark at the end", u"A question mark at the end."},
};

QString toQString(const char16_t* text) {
    return QString::fromUtf16(text);
}

TranscriptGuard defaultGuard() {
    return TranscriptGuard{};
}

// Words a clean-up may remove: hesitations, cue words and spoken punctuation.
const QSet<QString>& removableWords() {
    static const QSet<QString> words = {
        u"um"_s,     u"umm"_s,       u"uh"_s,       u"uhh"_s,     u"uhm"_s,         u"er"_s,
        u"erm"_s,    u"hmm"_s,       u"hm"_s,       u"ah"_s,      u"mm"_s,          u"mhm"_s,
        u"like"_s,   u"you"_s,       u"know"_s,     u"i"_s,       u"mean"_s,        u"sort"_s,
        u"kind"_s,   u"of"_s,        u"scratch"_s,  u"that"_s,    u"no"_s,          u"wait"_s,
        u"period"_s, u"comma"_s,     u"question"_s, u"mark"_s,    u"exclamation"_s, u"point"_s,
        u"colon"_s,  u"semicolon"_s, u"new"_s,      u"line"_s,    u"paragraph"_s,   u"open"_s,
        u"close"_s,  u"quote"_s,     u"end"_s,      u"unquote"_s, u"full"_s,        u"stop"_s,
    };
    return words;
}

} // namespace

TEST(BuiltinFormatter, CleansTheCorpusExactly) {
    for (const Case& c : kCorpus) {
        EXPECT_EQ(BuiltinFormatter::formatText(toQString(c.raw), {}), toQString(c.expected))
            << "raw: " << toQString(c.raw).toStdString();
    }
}

TEST(BuiltinFormatter, NeverAddsAWordAndTheGuardAcceptsIt) {
    const TranscriptGuard guard = defaultGuard();
    auto check = [&](const QString& raw) {
        const QString out = BuiltinFormatter::formatText(raw, {});
        const QStringList rawWords = TranscriptGuard::words(raw);
        const QSet<QString> rawSet(rawWords.begin(), rawWords.end());
        for (const QString& w : TranscriptGuard::words(out)) {
            EXPECT_TRUE(rawSet.contains(w))
                << "invented '" << w.toStdString() << "' from " << raw.toStdString();
        }
        // Every word the speaker said survives unless it is a removable filler or cue, or the
        // speaker corrected it.
        const QStringList said = TranscriptGuard::words(raw);
        if (said.contains(u"scratch"_s) || said.contains(u"wait"_s) || raw.contains(u"- "_s)) {
            return out;
        }
        const QStringList outWords = TranscriptGuard::words(out);
        const QSet<QString> outSet(outWords.begin(), outWords.end());
        for (const QString& w : rawWords) {
            EXPECT_TRUE(outSet.contains(w) || removableWords().contains(w))
                << "lost '" << w.toStdString() << "' from " << raw.toStdString();
        }
        return out;
    };
    for (const Case& c : kCorpus) {
        const QString raw = toQString(c.raw);
        const QString out = check(raw);
        if (!out.isEmpty() && TranscriptGuard::words(raw).size() >= 2) {
            EXPECT_EQ(guard.evaluate(raw, out).verdict, TranscriptGuard::Verdict::accepted)
                << raw.toStdString() << " -> " << out.toStdString();
        }
    }
    // Random word sequences drawn from ordinary words, fillers and spoken punctuation.
    const QStringList vocabulary = {
        u"the"_s,   u"report"_s,   u"um"_s,      u"uh"_s,       u"comma"_s,  u"period"_s,
        u"send"_s,  u"it"_s,       u"no"_s,      u"wait"_s,     u"friday"_s, u"i"_s,
        u"think"_s, u"new"_s,      u"line"_s,    u"question"_s, u"mark"_s,   u"like"_s,
        u"you"_s,   u"know"_s,     u"scratch"_s, u"that"_s,     u"build"_s,  u"passes"_s,
        u"café"_s,  u"main.cpp"_s, u"42"_s,      u"open"_s,     u"quote"_s,  u"close"_s,
    };
    QRandomGenerator random(20261206);
    for (int round = 0; round < 2000; ++round) {
        QStringList words;
        const int length = 1 + random.bounded(25);
        for (int i = 0; i < length; ++i) {
            words.append(vocabulary.at(random.bounded(vocabulary.size())));
        }
        check(words.join(u' '));
    }
}

TEST(BuiltinFormatter, TakingBackAWholeSentenceIsLeftToTheGuard) {
    const QString raw = u"call bob period scratch that email alice period"_s;
    const QString out = BuiltinFormatter::formatText(raw, {});
    EXPECT_EQ(out, u"Email alice."_s);
    // Half of what was said is gone, so the guard ships the transcript instead: no word is lost.
    EXPECT_EQ(defaultGuard().evaluate(raw, out).verdict,
              TranscriptGuard::Verdict::rejectedContentLoss);
}

TEST(BuiltinFormatter, UsesTheSpellingOfKnownTerms) {
    EXPECT_EQ(BuiltinFormatter::formatText(u"ask claude code about quovant"_s,
                                           {u"Claude Code"_s, u"Quovant"_s}),
              u"Ask Claude Code about Quovant."_s);
}

TEST(BuiltinFormatter, RewriteFixesGrammarKeepingEveryWordAndMakesBullets) {
    const QString selection = u"i think this is fine . we should ship it\nthen relax"_s;
    const QString fixed = BuiltinFormatter::rewriteText(selection, RewriteCommand::fixGrammar, {});
    EXPECT_EQ(fixed, u"I think this is fine. We should ship it.\nThen relax."_s);
    EXPECT_EQ(RewriteGuard::evaluate(selection, fixed, RewriteCommand::fixGrammar, {}).verdict,
              RewriteGuard::Verdict::accepted);

    const QString original = u"Buy milk. Call Anna about the trip! Book the hotel"_s;
    const QString bullets = BuiltinFormatter::rewriteText(original, RewriteCommand::bulletList, {});
    EXPECT_EQ(bullets, u"- Buy milk.\n- Call Anna about the trip!\n- Book the hotel."_s);
    EXPECT_EQ(RewriteGuard::evaluate(original, bullets, RewriteCommand::bulletList, {}).verdict,
              RewriteGuard::Verdict::accepted);
}

TEST(BuiltinFormatter, CommandsThatNeedAModelFailWithAClearMessage) {
    BuiltinFormatter formatter;
    try {
        quovant::testing::run(
            formatter.rewrite(u"make this shorter please"_s, RewriteCommand::shorten, {}));
        FAIL() << "shorten should need a language model";
    } catch (const QuovantError& error) {
        EXPECT_EQ(error.kind(), QuovantError::Kind::formatterUnavailable);
        EXPECT_TRUE(error.description().contains(u"Ollama"_s));
        EXPECT_TRUE(error.description().contains(RewriteCommands::title(RewriteCommand::shorten)));
    }
}

TEST(BuiltinFormatter, DeveloperPromptsParseKeepEveryAnchorAndPassTheGuard) {
    const QString raw =
        u"add a retry to the upload in src/upload.ts period currently it fails when the "
        u"network drops period don't change the public api period it should retry three times "
        u"when the request times out period run npm test to verify period"_s;
    const QString compiled = BuiltinFormatter::compileText(raw, {});
    EXPECT_EQ(compiled,
              u"Goal:\nadd a retry to the upload in src/upload.ts.\n\n"
              u"Context:\ncurrently it fails when the network drops.\n\n"
              u"Constraints:\ndon't change the public api.\n\n"
              u"Acceptance criteria:\nit should retry three times when the request times out.\n\n"
              u"Verification:\nrun npm test to verify."_s);

    const QStringList requests = {
        raw,
        u"um rename fetchUser in api/client.ts to loadUser"_s,
        u"make the login page faster"_s,
        u"never touch the database schema"_s,
        u"the cache is broken so fix it and keep the old keys and check with the unit tests"_s,
        u"add dark mode period it must follow the system theme when it changes period"_s,
    };
    for (const QString& request : requests) {
        const QString out = BuiltinFormatter::compileText(request, {});
        ASSERT_TRUE(DeveloperPromptDocument::parse(out).has_value()) << out.toStdString();
        EXPECT_EQ(DeveloperPromptGuard::evaluate(request, out, {}, std::nullopt).verdict,
                  DeveloperPromptGuard::Verdict::accepted)
            << request.toStdString() << "\n"
            << out.toStdString();
    }
}

TEST(BuiltinFormatter, StartsSentencesAtClearPausesAndJudgesEachOne) {
    const struct {
        const char16_t* raw;
        SpeechPauses pauses;
        const char16_t* expected;
    } cases[] = {
        // A question first no longer makes the whole dictation one question.
        {u"what time is it i will be late again", {{4, 620}, {2, 120}},
         u"What time is it? I will be late again."},
        {u"i am late can you wait", {{3, 480}}, u"I am late. Can you wait?"},
        // Short pauses inside a sentence, and pauses before the first or after the last word,
        // change nothing.
        {u"send the report today", {{2, 300}, {4, 900}, {0, 900}},
         u"Send the report today."},
        // A pause after a dropped filler still ends the sentence before it.
        {u"it works um the next step is testing", {{3, 700}}, u"It works. The next step is testing."},
        {u"the the build passed we can ship", {{4, 500}, {5, 50}}, u"The build passed. We can ship."},
        // A spoken mark is not doubled, and pauses after marks are not new sentences.
        {u"thanks period see you soon", {{1, 800}, {2, 800}}, u"Thanks. See you soon."},
        {u"thanks comma see you soon", {{2, 500}}, u"Thanks, see you soon."},
        // A slow speaker's gaps are no sentence ends; a clear pause still is.
        {u"i think we should wait for them", {{1, 250}, {2, 250}, {3, 300}, {4, 250}, {5, 200}},
         u"I think we should wait for them."},
        {u"we should wait it is raining", {{1, 200}, {2, 200}, {3, 400}, {4, 200}},
         u"We should wait. It is raining."},
    };
    const TranscriptGuard guard = defaultGuard();
    for (const auto& c : cases) {
        const QString raw = toQString(c.raw);
        const QString out = BuiltinFormatter::formatText(raw, {}, c.pauses);
        EXPECT_EQ(out, toQString(c.expected)) << raw.toStdString();
        EXPECT_EQ(guard.evaluate(raw, out).verdict, TranscriptGuard::Verdict::accepted)
            << out.toStdString();
    }
    // Through the port: the pauses travel in the context, beside the unchanged transcript.
    FormattingContext context;
    context.pauses = {{4, 620}};
    BuiltinFormatter formatter;
    EXPECT_EQ(quovant::testing::run(formatter.format(u"what time is it i will be late"_s, context)),
              u"What time is it? I will be late."_s);
    // A developer request is split into sentences, so its sections can differ.
    const QString request = u"add a retry to the upload never change the public api"_s;
    const QString compiled = BuiltinFormatter::compileText(request, {}, {{6, 600}});
    EXPECT_TRUE(compiled.startsWith(u"Goal:\nadd a retry to the upload.\n\n"_s)) << compiled.toStdString();
    EXPECT_TRUE(compiled.contains(u"Constraints:\nnever change the public api.\n"_s)) << compiled.toStdString();
    EXPECT_EQ(DeveloperPromptGuard::evaluate(request, compiled, {}, std::nullopt).verdict,
              DeveloperPromptGuard::Verdict::accepted);
}

