#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace quovant {

struct RepositoryContext;

// Decides whether the model's prompt-mode answer may be delivered. Deterministic, stateless,
// thread-safe and never throws; every rejection hands back the lossless fallback document, so
// the user's words always reach the agent.
struct DeveloperPromptGuard {
    enum class Verdict {
        accepted,
        formatterDisabled,
        formatterFailed,
        rejectedInvalidStructure,
        rejectedModelResponse,
        rejectedTooLong,
        rejectedContentLoss,
        rejectedProtectedContent,
        rejectedMeaningChange,
    };

    struct Decision {
        QString text;
        Verdict verdict = Verdict::accepted;

        bool operator==(const Decision&) const = default;
    };

    // The name stored in the history and printed in log lines.
    static QString rawValue(Verdict verdict);

    static Decision evaluate(const QString& raw, const QString& proposed,
                             const QStringList& vocabulary,
                             const std::optional<RepositoryContext>& repository);
};

} // namespace quovant
