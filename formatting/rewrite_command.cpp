#include "formatting/rewrite_command.h"

#include "core/unicode_text.h"
#include "formatting/transcript_guard.h"

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

struct CommandText {
    QString rawValue;
    QString title;
    QStringList keywords;
    QString instruction;
};

const CommandText& textOf(RewriteCommand command) {
    static const std::array<CommandText, 6> kTexts{{
        {u"fixGrammar"_s,
         u"Fix grammar"_s,
         {u"grammar"_s, u"proofread"_s, u"fix spelling"_s},
         u"Correct grammar, spelling, punctuation, and capitalization without changing tone or "
         "meaning."_s},
        {u"shorten"_s,
         u"Make concise"_s,
         {u"shorten"_s, u"shorter"_s, u"concise"_s, u"condense"_s},
         u"Make the text materially shorter while preserving every important fact and request."_s},
        {u"makeFormal"_s,
         u"Make formal"_s,
         {u"formal"_s, u"professional tone"_s},
         u"Use a professional, formal tone without adding facts, commitments, greetings, or "
         "sign-offs."_s},
        {u"makeCasual"_s,
         u"Make casual"_s,
         {u"casual"_s, u"friendly tone"_s, u"relaxed tone"_s},
         u"Use a natural, casual tone without changing the meaning or adding new information."_s},
        {u"improveClarity"_s,
         u"Improve clarity"_s,
         {u"clearer"_s, u"clarity"_s, u"improve clarity"_s, u"more clear"_s},
         u"Improve clarity and sentence structure while preserving the exact meaning."_s},
        {u"bulletList"_s,
         u"Turn into bullet points"_s,
         {u"bullet"_s, u"bulleted list"_s},
         u"Turn the text into a concise bullet list without adding, removing, or reordering "
         "facts."_s},
    }};
    const auto index = static_cast<std::size_t>(command);
    return kTexts[index < kTexts.size() ? index : 0];
}

} // namespace

std::optional<RewriteCommand> RewriteCommands::parse(const QString& spoken) {
    // TranscriptGuard::words lower-cases and splits at every character that is not a letter or
    // digit, which is exactly the normalisation a spoken command needs after folding.
    const QString normalized =
        TranscriptGuard::words(unicode::foldCaseAndDiacritics(spoken)).join(u' ');
    if (normalized.isEmpty()) {
        return std::nullopt;
    }
    std::optional<RewriteCommand> found;
    for (const RewriteCommand command : allCases) {
        for (const QString& keyword : textOf(command).keywords) {
            if (normalized.contains(keyword)) {
                if (found) {
                    return std::nullopt;
                }
                found = command;
                break;
            }
        }
    }
    return found;
}

QString RewriteCommands::rawValue(RewriteCommand command) {
    return textOf(command).rawValue;
}

std::optional<RewriteCommand> RewriteCommands::fromRawValue(const QString& rawValue) {
    for (const RewriteCommand command : allCases) {
        if (textOf(command).rawValue == rawValue) {
            return command;
        }
    }
    return std::nullopt;
}

QString RewriteCommands::title(RewriteCommand command) {
    return textOf(command).title;
}

QStringList RewriteCommands::keywords(RewriteCommand command) {
    return textOf(command).keywords;
}

QString RewriteCommands::instruction(RewriteCommand command) {
    return textOf(command).instruction;
}

QStringList RewriteCommands::recognitionHints() {
    QStringList hints;
    for (const RewriteCommand command : allCases) {
        hints.append(textOf(command).title);
    }
    return hints;
}

} // namespace quovant
