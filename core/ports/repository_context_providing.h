#pragma once

#include "core/forward.h"

#include <QCoroTask>
#include <QString>
#include <optional>

namespace quovant {

// Finds and indexes the repository behind the frontmost application. Main thread; the refresh
// does its file and process work off the main thread.
class RepositoryContextProviding {
public:
    virtual ~RepositoryContextProviding() = default;

    // What is already indexed; never blocks on disk.
    virtual std::optional<RepositoryContext>
    cachedContext(const std::optional<QString>& appBundleID,
                  const std::optional<QString>& pinnedRepositoryPath) = 0;
    virtual QCoro::Task<std::optional<RepositoryContext>>
    refreshContext(std::optional<QString> appBundleID,
                   std::optional<QString> pinnedRepositoryPath) = 0;
};

} // namespace quovant
