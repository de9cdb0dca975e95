#pragma once

#include <QSet>
#include <QString>
#include <QStringList>

#include <optional>

namespace quovant {

// Judges a dictation formatter's answer against the raw transcript: accepts it (trimmed) or
// falls back to the lightly punctuated transcript. Pure, stateless apart from its limits, never
// throws; safe from any thread.
struct TranscriptGuard {
    enum class Verdict {
        accepted,
        skippedTooShort,
        rejectedEmpty,
        rejectedTooLong,
        rejectedContentLoss,
        rejectedInvention,
        rejectedRefusal,
        formatterFailed,
        formatterDisabled,
    };

    struct Decision {
        QString text;
        Verdict verdict = Verdict::accepted;

        bool operator==(const Decision&) const = default;
    };

    double minContentRetention = 0.6;
    double maxLengthRatio = 2.5;
    // Read by the caller to skip the formatter for very short utterances, not by evaluate().
    int minWordsForLLM = 2;
    double maxInventedRatio = 0.5;
    int maxInventedWords = 2;

    // `vocabulary`: the speaker's known terms, which the answer may spell as the speaker meant.
    Decision evaluate(const QString& raw, const QString& formatted,
                      const QStringList& vocabulary = {}) const;

    // Lower-cased words: runs of user-perceived characters whose base is a letter, mark or number;
    // every other character (apostrophes, hyphens, underscores included) separates them.
    static QStringList words(const QString& text);
    // Trimmed, first character upper-cased, a full stop added unless it already ends in
    // . ! ? , : or ;. Empty in, empty out.
    static QString lightlyPunctuate(const QString& text);

    // The stored raw value of a verdict, and back (absent for an unknown string).
    static QString rawValue(Verdict verdict);
    static std::optional<Verdict> verdictFromRawValue(const QString& raw);

    static const QSet<QString>& fillers();
    // Tested in this order against the start of the lower-cased answer (typographic apostrophes
    // read as straight ones).
    static const QStringList& refusalMarkers();

    bool operator==(const TranscriptGuard&) const = default;
};

} // namespace quovant
