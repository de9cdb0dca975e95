#pragma once

#include "repository/repository_context.h"
#include "repository/repository_index_limits.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace quovant {

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

    RepositoryIndexLimits limits;
    // The git program to run; absent means "/usr/bin/git", else `git` on the search path.
    // An empty string means no git at all.
    std::optional<QString> gitProgram;

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
    // The file's first `maxBytes` bytes as UTF-8 text; none for binary, non-UTF-8 or unreadable
    // files and for anything that is not a regular file. A multi-byte character cut off by the
    // limit is left out rather than spoiling the whole prefix.
    static std::optional<QString> readPrefix(const QString& file, qint64 maxBytes);
    // Type names, then function names, then variable names, each in order of appearance.
    static QStringList extractIdentifiers(const QString& text);

    // The git program that `gitProgram` selects, if it is there.
    std::optional<QString> resolvedGitProgram() const;
};

} // namespace quovant
