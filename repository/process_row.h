#pragma once

#include <QString>

namespace quovant {

// One entry of the process list.
struct ProcessRow {
    qint32 processID = 0;
    qint32 parentProcessID = 0;
    QString command;

    bool operator==(const ProcessRow&) const = default;
};

} // namespace quovant
