#pragma once

#include <QString>
#include <QStringList>

#include <array>
#include <optional>

namespace quovant {

// The six operations of edit-in-place mode, in their fixed order. The raw value of each case
// (used when stored or logged) is its name.
enum class RewriteCommand {
    fixGrammar,
    shorten,
    makeFormal,
    makeCasual,
    improveClarity,
    bulletList,
};

// Names, spoken keywords and model instructions of the rewrite commands. Pure and thread-safe.
struct RewriteCommands {
    static constexpr std::array<RewriteCommand, 6> allCases{
        RewriteCommand::fixGrammar, RewriteCommand::shorten,        RewriteCommand::makeFormal,
        RewriteCommand::makeCasual, RewriteCommand::improveClarity, RewriteCommand::bulletList,
    };

    // The command a spoken phrase names; none when it names no command or more than one.
    static std::optional<RewriteCommand> parse(const QString& spoken);

    static QString rawValue(RewriteCommand command);
    static std::optional<RewriteCommand> fromRawValue(const QString& rawValue);

    static QString title(RewriteCommand command);
    static QStringList keywords(RewriteCommand command);
    static QString instruction(RewriteCommand command);

    // The six titles in case order, for the recogniser and for the "say one command" hint.
    static QStringList recognitionHints();
};

} // namespace quovant
