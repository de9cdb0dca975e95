#pragma once

#include <QByteArray>
#include <QString>

namespace quovant {

// Reading the files of the data directory, which another local program may have replaced by a
// FIFO, a device or something huge. Thread-safe.
namespace DataFile {

struct Read {
    enum class Status {
        Missing,    // nothing (or a dangling link) at the path
        Unreadable, // not a regular file, larger than allowed, or an I/O error
        Read,
    };
    Status status = Status::Missing;
    QByteArray bytes;
};

// The whole file when it is a regular file of at most `maximumBytes`. Never blocks on a FIFO
// and never reads more than `maximumBytes` + 1 bytes.
Read readRegular(const QString& path, qint64 maximumBytes);

// Moves a file that could not be used to `preservedName` beside it, replacing an older copy
// (but never a folder of that name) without following links. False when it stays in place.
bool setAside(const QString& path, const QString& preservedName);

} // namespace DataFile
} // namespace quovant
