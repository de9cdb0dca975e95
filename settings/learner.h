#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

namespace quovant {

// Learns the user's vocabulary from delivered text: distinctive words, how often they occur and
// how they are written, kept in "learned.json". All members are thread-safe. Changes are saved
// one second after the first unsaved change, on the "quovant.learner" thread; the destructor
// writes a save that is still pending.
class Learner {
public:
    struct Term {
        // As last seen capitalised mid-sentence, else as first seen.
        QString surface;
        qint64 count = 0;
        // Ever seen capitalised mid-sentence.
        bool properNoun = false;
        bool operator==(const Term&) const = default;
    };

    struct Model {
        // Keyed by the lower-cased word.
        QHash<QString, Term> terms;
        // Ingested texts that gave at least one token.
        qint64 utterances = 0;
        bool operator==(const Model&) const = default;
    };

    struct Token {
        QString word;
        bool endsSentence = false;
        bool operator==(const Token&) const = default;
    };

    static constexpr qint64 minCount = 2;
    static constexpr qsizetype maxLearnedTerms = 80;

    // Loads "learned.json" from the data directory; a missing or unreadable file gives an empty
    // model, silently.
    Learner();
    explicit Learner(const QString& directory);
    ~Learner();
    Learner(const Learner&) = delete;
    Learner& operator=(const Learner&) = delete;

    void ingest(const QString& shipped);
    // Surfaces of the qualifying terms, best first, at most min(limit, 80).
    QStringList learnedTerms(std::optional<qsizetype> limit = std::nullopt) const;
    // Qualifying terms, without the cap.
    qsizetype learnedCount() const;
    // Forgets everything learned and saves the empty model.
    void clear();
    Model model() const;

    static QList<Token> tokenize(QStringView text);
    static bool isCommonWord(const QString& lowerCased);
    static QByteArray encode(const Model& model);
    // Every key is required with its JSON type; anything else gives nothing.
    static std::optional<Model> parse(QByteArrayView json);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace quovant
