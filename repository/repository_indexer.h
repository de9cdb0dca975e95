#pragma once

#include "repository/repository_context.h"
#include "repository/repository_index_limits.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>

namespace quovant {

// Ends indexing runs early: a running git is killed with its process group at once, and the folder
// walk and the file reads stop. One stop serves every run that shares it; it cannot be undone.
// Thread-safe.
class IndexingStop {
public:
    IndexingStop();
    ~IndexingStop();
    IndexingStop(const IndexingStop&) = delete;
    IndexingStop& operator=(const IndexingStop&) = delete;

    void request();
    bool requested() const { return m_requested.load(std::memory_order_acquire); }
    // Becomes readable once a stop is requested, to wake a wait on git.
    int wakeDescriptor() const { return m_wake; }

private:
    std::atomic<bool> m_requested{false};
    int m_wake = -1;
};

// Turns one Git working tree into a RepositoryContext within `limits`. Holds no shared state and
// may run on any thread; it blocks while `git` runs, so keep it off the main thread. Files whose
// names commonly hold credentials are never opened.
struct RepositoryIndexer {
    // How the tracked-file listing was obtained, for diagnostics and measurements.
    struct Listing {
        QStringList paths;
        bool fromGit = false;
        // The git listing was cut at the entry limit or the byte budget and git was stopped.
        bool stoppedAtLimit = false;
        qint64 bytesRead = 0;
    };

    // `git ls-files` answers in well under a second even for a large repository on a cold disk;
    // five seconds leave room for a loaded machine while bounding what a hung git (a FIFO at
    // .git/HEAD, a stalled network mount) can hold. Nobody waits for it: the prompt flow waits
    // 300 ms for a repository context and goes on without one.
    static constexpr std::chrono::milliseconds kDefaultGitTimeLimit{5000};

    RepositoryIndexLimits limits;
    // The git program to run; absent means "/usr/bin/git", else `git` on the search path.
    // An empty string means no git at all.
    std::optional<QString> gitProgram;
    // At this limit git is killed with its whole process group and the folder walk answers.
    std::chrono::milliseconds gitTimeLimit = kDefaultGitTimeLimit;
    // Absent: the run cannot be ended early.
    std::shared_ptr<IndexingStop> stop;

    // The nearest folder at or above `startingAt` that holds a ".git" entry; "/" is never one.
    static std::optional<QString> findRepositoryRoot(const QString& startingAt);

    // Throws QuovantError::repositoryUnavailable when `root` is not itself a repository root.
    // `trackedFiles` replaces the listing of tracked files.
    RepositoryContext index(const QString& root,
                            const std::optional<QStringList>& trackedFiles = std::nullopt) const;

    QStringList trackedFiles(const QString& root) const;
    Listing listTrackedFiles(const QString& root) const;

    static bool isExcluded(QStringView relativePath);
    // True only for an existing non-folder that stays inside `root` after resolving links.
    static bool isContainedRepositoryFile(const QString& relativePath, const QString& root);
    static bool isUsefulTerm(const QString& term);
    static std::optional<QString> branchName(const QString& root);
    static std::optional<QString> language(QStringView path);
    // The file's first `maxBytes` bytes as UTF-8 text, reading no more than that; none for binary,
    // non-UTF-8 or unreadable files and for anything that is not a regular file, which is never
    // opened. A multi-byte character cut off by the limit is left out rather than spoiling the
    // whole prefix.
    static std::optional<QString> readPrefix(const QString& file, qint64 maxBytes);
    // Type names, then function names, then variable names, each in order of appearance.
    static QStringList extractIdentifiers(const QString& text);

    // The git program that `gitProgram` selects, if it is there.
    std::optional<QString> resolvedGitProgram() const;
};

} // namespace quovant
