#include "repository/linux_repository_context_provider.h"

#include "repository/process_listing.h"
#include "repository/repository_candidate_selector.h"
#include "settings/log.h"

#include <QCoreApplication>
#include <QCoroFuture>
#include <QDir>
#include <QPointer>
#include <QSet>
#include <QUrl>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

// Working directories are asked for this many processes at most, the most recently started.
constexpr qsizetype kMaxScannedProcesses = 100;
// One thread indexes while the other can still detect the repository of the next utterance.
constexpr int kRepositoryThreads = 2;

std::optional<QString> documentPath(const QString& value) {
    if (value.startsWith(u"file:"_s)) {
        const QUrl url(value);
        if (url.isValid() && url.isLocalFile() && !url.toLocalFile().isEmpty()) {
            return url.toLocalFile();
        }
    }
    if (value.startsWith(u'/')) {
        return value;
    }
    return std::nullopt;
}

} // namespace

RepositoryIndexLimits LinuxRepositoryContextProvider::applicationLimits() {
    return RepositoryIndexLimits{5000, 160, 131072, 320, 24};
}

LinuxRepositoryContextProvider::LinuxRepositoryContextProvider(
    std::shared_ptr<FocusedWindowInfoSource> focusedWindow, QObject* parent)
    : LinuxRepositoryContextProvider(std::move(focusedWindow),
                                     RepositoryIndexer{applicationLimits(), std::nullopt}, parent) {
}

LinuxRepositoryContextProvider::LinuxRepositoryContextProvider(
    std::shared_ptr<FocusedWindowInfoSource> focusedWindow, RepositoryIndexer indexer,
    QObject* parent)
    : QObject(parent), m_focusedWindow(std::move(focusedWindow)), m_indexer(std::move(indexer)) {
    m_indexer.stop = std::make_shared<IndexingStop>();
    m_pool.setMaxThreadCount(kRepositoryThreads);
    m_pool.setObjectName(u"Repository indexing"_s);
    // The event loop ends before anything is destroyed; a hung git must not outlive the program.
    if (const QCoreApplication* application = QCoreApplication::instance()) {
        connect(application, &QCoreApplication::aboutToQuit, this,
                &LinuxRepositoryContextProvider::stopIndexing);
    }
}

LinuxRepositoryContextProvider::~LinuxRepositoryContextProvider() {
    stopIndexing();
    m_pool.waitForDone();
}

void LinuxRepositoryContextProvider::stopIndexing() {
    m_indexer.stop->request();
}

std::optional<RepositoryContext>
LinuxRepositoryContextProvider::cachedContext(const std::optional<QString>& appBundleID,
                                              const std::optional<QString>& pinnedRepositoryPath) {
    if (pinnedRepositoryPath) {
        if (const auto root = RepositoryIndexer::findRepositoryRoot(*pinnedRepositoryPath)) {
            if (const auto found = m_contextsByRoot.constFind(*root);
                found != m_contextsByRoot.constEnd()) {
                return *found;
            }
        }
    }
    if (appBundleID) {
        if (const auto root = m_rootByBundleID.constFind(*appBundleID);
            root != m_rootByBundleID.constEnd()) {
            const auto found = m_contextsByRoot.constFind(*root);
            if (found != m_contextsByRoot.constEnd()) {
                return *found;
            }
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<QString> LinuxRepositoryContextProvider::focusedDocumentRoot(qint32 processID) const {
    const auto value = m_focusedWindow->focusedDocumentPath(processID);
    const auto path = value ? documentPath(*value) : std::nullopt;
    if (!path) {
        return std::nullopt;
    }
    const QString document = QDir::cleanPath(*path);
    const qsizetype slash = document.lastIndexOf(u'/');
    return RepositoryIndexer::findRepositoryRoot(slash <= 0 ? u"/"_s : document.left(slash));
}

LinuxRepositoryContextProvider::RefreshPlan LinuxRepositoryContextProvider::planRefresh(
    const std::optional<QString>& appBundleID,
    const std::optional<QString>& pinnedRepositoryPath) const {
    RefreshPlan plan;
    if (pinnedRepositoryPath) {
        plan.root = RepositoryIndexer::findRepositoryRoot(*pinnedRepositoryPath);
        if (plan.root) {
            return plan;
        }
    }
    std::optional<FocusedApplication> frontmost;
    if (m_focusedWindow) {
        frontmost = m_focusedWindow->frontmostApplication();
    }
    std::optional<QString> frontmostBundleID;
    if (frontmost) {
        frontmostBundleID = frontmost->bundleID;
    }
    // Detection serves only the application the words were spoken into.
    if (!frontmost || appBundleID != frontmostBundleID) {
        return plan;
    }
    plan.root = focusedDocumentRoot(frontmost->processID);
    if (!plan.root) {
        plan.processTreeOf = frontmost->processID;
    }
    return plan;
}

std::optional<RepositoryContext>
LinuxRepositoryContextProvider::cachedForRoot(const QString& root,
                                              const std::optional<QString>& appBundleID) {
    const auto found = m_contextsByRoot.constFind(root);
    if (found == m_contextsByRoot.constEnd()) {
        return std::nullopt;
    }
    if (appBundleID) {
        m_rootByBundleID.insert(*appBundleID, root);
    }
    return *found;
}

RepositoryContext LinuxRepositoryContextProvider::store(const QString& root,
                                                        const std::optional<QString>& appBundleID,
                                                        const RepositoryContext& context) {
    // A refresh that overlapped this one may have indexed the same root first; keep its result.
    if (!m_contextsByRoot.contains(root)) {
        m_contextsByRoot.insert(root, context);
        Log::info(u"Repository context ready · "_s + context.name + u" · "_s +
                  QString::number(context.vocabulary.size()) + u" local terms"_s);
    }
    return *cachedForRoot(root, appBundleID);
}

// The coroutine only sequences the steps; the decisions live in plain functions.
QCoro::Task<std::optional<RepositoryContext>>
LinuxRepositoryContextProvider::refreshContext(std::optional<QString> appBundleID,
                                               std::optional<QString> pinnedRepositoryPath) {
    QPointer<LinuxRepositoryContextProvider> self(this);
    RefreshPlan plan = planRefresh(appBundleID, pinnedRepositoryPath);
    if (plan.processTreeOf) {
        const qint32 processID = *plan.processTreeOf;
        std::optional<QString> detected = co_await QtConcurrent::run(
            &m_pool, &LinuxRepositoryContextProvider::detectFromProcessTree, processID);
        if (!self) {
            co_return std::nullopt;
        }
        plan.root = std::move(detected);
    }
    if (!plan.root) {
        co_return cachedContext(appBundleID, pinnedRepositoryPath);
    }
    std::optional<RepositoryContext> cached = cachedForRoot(*plan.root, appBundleID);
    if (cached) {
        co_return cached;
    }

    const QString root = *plan.root;
    const Indexing running = indexing(root);
    std::optional<RepositoryContext> context = co_await QFuture(running.result);
    // A stopped run is unfinished work, and a released provider has no caches to fill.
    if (!self || m_indexer.stop->requested()) {
        co_return std::nullopt;
    }
    // The first of the refreshes that waited for this run ends it; a later run stays listed.
    if (const auto found = m_indexing.constFind(root);
        found != m_indexing.constEnd() && found->number == running.number) {
        m_indexing.erase(found);
    }
    if (!context) {
        co_return std::nullopt;
    }
    co_return store(root, appBundleID, *context);
}

// At most one indexing per root at a time: a refresh that finds one running waits for it.
LinuxRepositoryContextProvider::Indexing
LinuxRepositoryContextProvider::indexing(const QString& root) {
    if (const auto found = m_indexing.constFind(root); found != m_indexing.constEnd()) {
        return *found;
    }
    const Indexing started{++m_indexingCount,
                           QtConcurrent::run(&m_pool,
                                             &LinuxRepositoryContextProvider::indexOrNothing,
                                             m_indexer, root)};
    m_indexing.insert(root, started);
    return started;
}

std::optional<RepositoryContext>
LinuxRepositoryContextProvider::indexOrNothing(RepositoryIndexer indexer, QString root) {
    try {
        return indexer.index(root);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<QString>
LinuxRepositoryContextProvider::detectFromProcessTree(qint32 frontmostProcessID) {
    const QList<ProcessRow> rows = ProcessListing::processRows();
    if (rows.isEmpty()) {
        return std::nullopt;
    }
    QSet<qint32> descendants{frontmostProcessID};
    for (bool grew = true; grew;) {
        grew = false;
        for (const ProcessRow& row : rows) {
            if (descendants.contains(row.parentProcessID) && !descendants.contains(row.processID)) {
                descendants.insert(row.processID);
                grew = true;
            }
        }
    }
    QList<qint32> identifiers(descendants.begin(), descendants.end());
    std::sort(identifiers.begin(), identifiers.end());
    if (identifiers.size() > kMaxScannedProcesses) {
        identifiers = identifiers.mid(identifiers.size() - kMaxScannedProcesses);
    }
    const QHash<qint32, QString> directories = ProcessListing::cwdByProcessID(identifiers);

    QList<ProcessWorkingDirectory> processes;
    for (const ProcessRow& row : rows) {
        if (descendants.contains(row.processID)) {
            processes.append({row.processID, row.parentProcessID, row.command,
                              directories.value(row.processID, u"/"_s)});
        }
    }
    return RepositoryCandidateSelector::select(frontmostProcessID, processes);
}

} // namespace quovant
