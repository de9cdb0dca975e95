#pragma once

#include <QString>

namespace quovant {

// A process with the folder it works in.
struct ProcessWorkingDirectory {
    qint32 processID = 0;
    qint32 parentProcessID = 0;
    QString command;
    QString workingDirectory;

    bool operator==(const ProcessWorkingDirectory&) const = default;
};

} // namespace quovant
