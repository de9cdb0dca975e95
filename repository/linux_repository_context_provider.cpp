#include "repository/linux_repository_context_provider.h"

#include "repository/process_listing.h"
#include "repository/repository_candidate_selector.h"
#include "settings/log.h"

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
    : QObject(parent), m_focusedWindow(std::move(focusedWindow)), m_indexer(std::move(indexer)) {}

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

QCoro::Task<std::optional<RepositoryContext>>
LinuxRepositoryContextProvider::refreshContext(std::optional<QString> appBundleID,
                                               std::optional<QString> pinnedRepositoryPath) {
    const std::optional<FocusedApplication> frontmost =
        m_focusedWindow ? m_focusedWindow->frontmostApplication() : std::nullopt;
    const std::optional<QString> frontmostBundleID = frontmost ? frontmost->bundleID : std::nullopt;
    const bool sameApplication = appBundleID == frontmostBundleID;

    std::optional<QString> root;
    if (pinnedRepositoryPath) {
        root = RepositoryIndexer::findRepositoryRoot(*pinnedRepositoryPath);
    }
    if (!root && sameApplication && frontmost) {
        root = focusedDocumentRoot(frontmost->processID);
        if (!root) {
            const qint32 processID = frontmost->processID;
            QPointer<LinuxRepositoryContextProvider> self(this);
            root = co_await QtConcurrent::run(
                [processID] { return detectFromProcessTree(processID); });
            if (!self) {
                co_return std::nullopt;
            }
        }
    }
    if (!root) {
        co_return cachedContext(appBundleID, pinnedRepositoryPath);
    }

    if (const auto found = m_contextsByRoot.constFind(*root);
        found != m_contextsByRoot.constEnd()) {
        if (appBundleID) {
            m_rootByBundleID.insert(*appBundleID, *root);
        }
        co_return *found;
    }

    QPointer<LinuxRepositoryContextProvider> self(this);
    const RepositoryIndexer indexer = m_indexer;
    const QString rootPath = *root;
    const std::optional<RepositoryContext> context =
        co_await QtConcurrent::run([indexer, rootPath]() -> std::optional<RepositoryContext> {
            try {
                return indexer.index(rootPath);
            } catch (...) {
                return std::nullopt;
            }
        });
    if (!self || !context) {
        co_return context;
    }
    // A refresh that overlapped this one may have indexed the same root first; keep its result.
    if (!m_contextsByRoot.contains(rootPath)) {
        m_contextsByRoot.insert(rootPath, *context);
        Log::info(u"Repository context ready · "_s + context->name + u" · "_s +
                  QString::number(context->vocabulary.size()) + u" local terms"_s);
    }
    if (appBundleID) {
        m_rootByBundleID.insert(*appBundleID, rootPath);
    }
    co_return m_contextsByRoot.value(rootPath);
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
