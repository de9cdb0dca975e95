#include "repository/repository_candidate_selector.h"

#include "repository/repository_indexer.h"

#include <QDir>
#include <QHash>
#include <QSet>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

constexpr qint64 kAgentBonus = 10000;
constexpr qint64 kHelperBonus = 5000;
constexpr qint64 kDepthWeight = 100;
constexpr qint64 kMaxComponentScore = 50;

std::optional<qint64> depthOf(const ProcessWorkingDirectory& process, qint32 frontmostProcessID,
                              const QHash<qint32, qint32>& parentByID) {
    if (process.processID == frontmostProcessID) {
        return 0;
    }
    QSet<qint32> visited{process.processID};
    qint32 parent = process.parentProcessID;
    for (qint64 steps = 1;; ++steps) {
        if (parent == frontmostProcessID) {
            return steps;
        }
        const auto next = parentByID.constFind(parent);
        if (next == parentByID.constEnd() || visited.contains(parent)) {
            return std::nullopt;
        }
        visited.insert(parent);
        parent = *next;
    }
}

// Counted like the components of a file URL: the leading "/" is one.
qint64 pathComponentCount(const QString& root) {
    return 1 + root.split(u'/', Qt::SkipEmptyParts).size();
}

bool containsAny(const QString& text, std::initializer_list<QString> needles) {
    return std::any_of(needles.begin(), needles.end(),
                       [&](const QString& needle) { return text.contains(needle); });
}

} // namespace

std::optional<QString>
RepositoryCandidateSelector::select(qint32 frontmostProcessID,
                                    const QList<ProcessWorkingDirectory>& processes) {
    // A process listed twice keeps its first entry.
    QHash<qint32, qint32> parentByID;
    for (const ProcessWorkingDirectory& process : processes) {
        if (!parentByID.contains(process.processID)) {
            parentByID.insert(process.processID, process.parentProcessID);
        }
    }

    std::optional<QString> bestRoot;
    qint64 bestScore = 0;
    qint32 bestProcessID = 0;
    for (const ProcessWorkingDirectory& process : processes) {
        const auto depth = depthOf(process, frontmostProcessID, parentByID);
        if (!depth) {
            continue;
        }
        const auto root = RepositoryIndexer::findRepositoryRoot(process.workingDirectory);
        if (!root) {
            continue;
        }
        const QString command = process.command.toLower();
        const qint64 agentBonus = containsAny(command, {u"/codex"_s, u" codex"_s, u"/claude"_s,
                                                        u" claude"_s, u"cursor-agent"_s})
                                      ? kAgentBonus
                                      : 0;
        const qint64 helperBonus =
            containsAny(command, {u"code helper"_s, u"cursor helper"_s, u"xcode"_s}) ? kHelperBonus
                                                                                     : 0;
        const qint64 score = agentBonus + helperBonus + kDepthWeight * *depth +
                             std::min(pathComponentCount(*root), kMaxComponentScore);
        if (!bestRoot || score > bestScore ||
            (score == bestScore && process.processID > bestProcessID)) {
            bestRoot = QDir::cleanPath(*root);
            bestScore = score;
            bestProcessID = process.processID;
        }
    }
    return bestRoot;
}

} // namespace quovant
