#pragma once

#include "repository/process_row.h"

#include <QHash>
#include <QList>
#include <QString>

namespace quovant {

// Processes and their working directories, read from /proc. Processes of other users whose
// details are hidden yield fewer facts, never an error. Thread-safe.
class ProcessListing {
public:
    // Every process with its parent and its command line (arguments joined by blanks).
    static QList<ProcessRow> processRows();
    // Working directories of the given processes that can be read.
    static QHash<qint32, QString> cwdByProcessID(const QList<qint32>& processIDs);
};

} // namespace quovant
