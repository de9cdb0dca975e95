#pragma once

#include "core/ports/repository_context_providing.h"
#include "repository/focused_window_info_source.h"
#include "repository/repository_context.h"
#include "repository/repository_indexer.h"

#include <QFuture>
#include <QHash>
#include <QObject>
#include <QThreadPool>

#include <memory>

namespace quovant {

// Finds the repository behind the frontmost application (pinned path, focused document, or the
// working directories of the processes it started), indexes it once per run and caches it.
// Lives on the main thread. Process scans and indexing run on a pool of their own, so a slow git
// never delays work on the shared pool (capture start, request building); a refresh for a root
// that is being indexed joins that indexing. When the application quits, or the provider goes,
// running indexing is stopped and its git killed.
class LinuxRepositoryContextProvider : public QObject, public RepositoryContextProviding {
public:
    // `focusedWindow` may be null: then only the pinned path and the caches serve.
    explicit LinuxRepositoryContextProvider(std::shared_ptr<FocusedWindowInfoSource> focusedWindow,
                                            QObject* parent = nullptr);
    LinuxRepositoryContextProvider(std::shared_ptr<FocusedWindowInfoSource> focusedWindow,
                                   RepositoryIndexer indexer, QObject* parent = nullptr);
    ~LinuxRepositoryContextProvider() override;

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
    struct Indexing {
        quint64 number = 0;
        QFuture<std::optional<RepositoryContext>> result;
    };

    Indexing indexing(const QString& root);
    static std::optional<RepositoryContext> indexOrNothing(RepositoryIndexer indexer, QString root);
    void stopIndexing();

    std::shared_ptr<FocusedWindowInfoSource> m_focusedWindow;
    RepositoryIndexer m_indexer;
    // Indexing that has started and not yet been handed back, by root.
    QHash<QString, Indexing> m_indexing;
    quint64 m_indexingCount = 0;
    QThreadPool m_pool;
    QHash<QString, RepositoryContext> m_contextsByRoot;
    QHash<QString, QString> m_rootByBundleID;
};

} // namespace quovant
