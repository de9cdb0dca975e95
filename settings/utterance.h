#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

namespace quovant {

// One history record: a line of "history.jsonl" is one Utterance as a compact JSON object.
struct Utterance {
    QString id;
    // Stored as ISO 8601 in UTC with whole seconds ("2026-01-31T09:15:00Z").
    QDateTime timestamp;
    std::optional<QString> appBundleID;
    std::optional<QString> appName;
    QString rawTranscript;
    QString formattedText;
    QString shippedText;
    QString guardVerdict;
    QString engine;
    QString formatter;
    qint64 asrMS = 0;
    qint64 formatMS = 0;
    qint64 responseMS = 0;
    std::optional<QString> audioFile;

    bool operator==(const Utterance&) const = default;

    // Compact JSON, keys in declaration order, absent optional keys omitted; no line feed.
    QByteArray toJson() const;
    // Every non-optional key is required with its JSON type; null counts as absent for the
    // optional ones. Anything else (including text that is not valid UTF-8) gives nothing.
    static std::optional<Utterance> parse(QByteArrayView json);

    // ISO 8601 with whole seconds and a zone designator; parsing requires the designator.
    static QString formatTimestamp(const QDateTime& time);
    static std::optional<QDateTime> parseTimestamp(const QString& text);
};

} // namespace quovant
