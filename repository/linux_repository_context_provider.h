#pragma once

#include "core/ports/repository_context_providing.h"
#include "repository/focused_window_info_source.h"
#include "repository/repository_context.h"
#include "repository/repository_indexer.h"

#include <QHash>
#include <QObject>

#include <memory>

namespace quovant {

// Finds the repository behind the frontmost application (pinned path, focused document, or the
// working directories of the processes it started), indexes it once per run and caches it.
// Lives on the main thread; process scans and indexing run on the thread pool.
class LinuxRepositoryContextProvider : public QObject, public RepositoryContextProviding {
public:
    // `focusedWindow` may be null: then only the pinned path and the caches serve.
    explicit LinuxRepositoryContextProvider(std::shared_ptr<FocusedWindowInfoSource> focusedWindow,
                                            QObject* parent = nullptr);
    LinuxRepositoryContextProvider(std::shared_ptr<FocusedWindowInfoSource> focusedWindow,
                                   RepositoryIndexer indexer, QObject* parent = nullptr);

    std::optional<RepositoryContext>
    cachedContext(const std::optional<QString>& appBundleID,
                  const std::optional<QString>& pinnedRepositoryPath) override;
    QCoro::Task<std::optional<RepositoryContext>>
    refreshContext(std::optional<QString> appBundleID,
                   std::optional<QString> pinnedRepositoryPath) override;

    // The repository chosen among the descendants of `frontmostProcessID`. Blocks on /proc.
    static std::optional<QString> detectFromProcessTree(qint32 frontmostProcessID);

    static RepositoryIndexLimits applicationLimits();

private:
    struct RefreshPlan {
        std::optional<QString> root;
        // Set when the root must come from the processes this one started.
        std::optional<qint32> processTreeOf;
    };

    RefreshPlan planRefresh(const std::optional<QString>& appBundleID,
                            const std::optional<QString>& pinnedRepositoryPath) const;
    std::optional<QString> focusedDocumentRoot(qint32 processID) const;
    // Serves an indexed root and remembers it for the application.
    std::optional<RepositoryContext> cachedForRoot(const QString& root,
                                                   const std::optional<QString>& appBundleID);
    RepositoryContext store(const QString& root, const std::optional<QString>& appBundleID,
                            const RepositoryContext& context);
    static std::optional<RepositoryContext> indexOrNothing(RepositoryIndexer indexer, QString root);

    std::shared_ptr<FocusedWindowInfoSource> m_focusedWindow;
    RepositoryIndexer m_indexer;
    QHash<QString, RepositoryContext> m_contextsByRoot;
    QHash<QString, QString> m_rootByBundleID;
};

} // namespace quovant
