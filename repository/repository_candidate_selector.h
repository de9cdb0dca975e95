#pragma once

#include "repository/process_working_directory.h"

#include <QList>
#include <QString>

#include <optional>

namespace quovant {

// Picks the repository the user most likely works in among the processes that the frontmost
// application started: coding agents first, then editor helpers, then the deepest process, then
// the most specific root. Reads the file system only for root searches.
class RepositoryCandidateSelector {
public:
    static std::optional<QString> select(qint32 frontmostProcessID,
                                         const QList<ProcessWorkingDirectory>& processes);
};

} // namespace quovant
