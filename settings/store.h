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
//
// Links are never followed for writing or deleting: a link, FIFO, device or folder in place of
// the history, or a linked "audio" folder, is left as it is and logged once; the history is
// then not stored and recordings are not pruned. Reads of the history take bounded memory
// whatever the file's size.
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
    // skipped, not replaced by older ones. Only the last `maxHistoryBytes` are looked at.
    QStringList recentTranscripts(qsizetype limit);
    // The non-empty lines of the history.
    qsizetype totalCount();
    // The regular ".wav" files in a real "audio" folder.
    qsizetype retainedAudioCount();

    // Leaves an empty history and an empty "audio" folder. Throws std::filesystem::filesystem_error
    // at the first step that fails.
    void deleteRetainedData();

    // Creates "vocabulary.txt" with the default text when it does not exist; failures are ignored.
    void ensureVocabularyFile() const;
    // The custom terms: trimmed lines that are neither empty nor comments, in file order. None
    // (logged once) when the file is not a regular file of at most 1 MiB.
    QStringList vocabulary() const;

    static QString defaultVocabularyText();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace quovant
