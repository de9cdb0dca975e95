#pragma once

#include <QString>

#include <optional>

namespace quovant {

// The five-section task specification of prompt mode; a value copied freely. Parsing is strict
// and never throws: anything but exactly the five headings, in order, gives no document.
struct DeveloperPromptDocument {
    QString goal;
    QString context;
    QString constraints;
    QString acceptanceCriteria;
    QString verification;

    static std::optional<DeveloperPromptDocument> parse(const QString& text);

    // The transcript as the goal and nothing else, so the user's words always reach the agent.
    static DeveloperPromptDocument fallback(const QString& transcript);

    // All five headings, empty sections included.
    QString rendered() const;
    // The non-empty sections only, without headings, joined by line feeds.
    QString content() const;

    bool operator==(const DeveloperPromptDocument&) const = default;
};

} // namespace quovant
