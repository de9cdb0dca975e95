#pragma once

#include "settings/retention_limits.h"
#include "settings/utterance.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

namespace quovant {

// The retained history ("history.jsonl"), the retained recordings ("audio/") and the custom
// vocabulary ("vocabulary.txt") in one data directory.
//
// Every read or write of the history and every scan of "audio" runs in order on one background
// worker thread ("palvane.store"): `append` and `didWriteAudio` queue their work and return at
// once; the queries and `deleteRetainedData` wait for everything queued before them. The
// destructor finishes all queued work. All members are thread-safe.
class Store {
public:
    explicit Store(const QString& root, RetentionLimits limits = {});
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    const QString& root() const;
    // The limits in force (each at least 1).
    const RetentionLimits& limits() const;

    void append(Utterance utterance);

    // Where the recording of `utteranceID` goes: "<root>/audio/<id>.wav". Creates "audio".
    QString audioURL(const QString& utteranceID) const;
    // Protects the recording at `filePath`, if it exists, and queues pruning of "audio".
    void didWriteAudio(const QString& filePath);

    // The shipped texts of the last `limit` history lines, oldest first; undecodable lines are
    // skipped, not replaced by older ones.
    QStringList recentTranscripts(qsizetype limit);
    qsizetype totalCount();
    qsizetype retainedAudioCount();

    // Leaves an empty history and an empty "audio" folder. Throws std::filesystem::filesystem_error
    // at the first step that fails.
    void deleteRetainedData();

    // Creates "vocabulary.txt" with the default text when it does not exist; failures are ignored.
    void ensureVocabularyFile() const;
    // The custom terms: trimmed lines that are neither empty nor comments, in file order.
    QStringList vocabulary() const;

    static QString defaultVocabularyText();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace quovant
