#pragma once

#include <QByteArray>
#include <QString>

namespace quovant {

// Reading and writing the files of the data directory, which another local program may have
// replaced by a link, a FIFO, a device or something huge. Thread-safe.
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

// open(2) with `flags` (and `mode` for O_CREAT) that never follows a link at `path`, never
// blocks on a FIFO and gives only a regular file. -1 otherwise, with errno ELOOP for a link and
// `kNotRegular` for anything else that is not a regular file.
int openRegular(const QString& path, int flags, unsigned mode = 0600);
inline constexpr int kNotRegular = 1000;

// Moves a file that could not be used to `preservedName` beside it, replacing an older copy
// (but never a folder of that name) without following links. False when it stays in place.
bool setAside(const QString& path, const QString& preservedName);

// Replaces (or, with `replaceExisting` false, creates only if nothing is there) the file at
// `path` in one step: a 0600 temporary file beside it ("<name>.tmp-XXXXXX"), synced, then
// renamed into place. No hard link is needed, so it works on every file system. Returns false,
// leaving what was there untouched, when a step fails.
bool writeAtomically(const QString& path, QByteArrayView bytes, bool replaceExisting = true);

// Removes the temporary files that saves killed midway left in `directory`: only those no
// running save holds and that have not changed for a minute.
void removeStaleTemporaries(const QString& directory);

// Writes every byte to `fd`, retrying short and interrupted writes; false on an error.
bool writeAll(int fd, QByteArrayView bytes);

} // namespace DataFile
} // namespace quovant
