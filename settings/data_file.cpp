#include "settings/data_file.h"

#include "settings/paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quovant::DataFile {

namespace {

// What the saves of the data directory are named while they are written; the second form is
// the one older versions used for the settings.
constexpr const char* kSavedNames[] = {"config.json", "history.jsonl", "vocabulary.txt",
                                       "learned.json"};
constexpr char kTemporaryMarker[] = ".tmp-";
constexpr int kRandomLength = 6;
// A save writes a few megabytes at most; one untouched for this long was abandoned.
constexpr time_t kAbandonedAfterSeconds = 60;

bool isTemporaryName(const char* name) {
    const QByteArrayView text(name);
    if (text.size() <= kRandomLength) {
        return false;
    }
    const QByteArrayView stem = text.chopped(kRandomLength);
    if (stem == QByteArrayView(".config.json.")) {
        return true;
    }
    for (const char* saved : kSavedNames) {
        if (stem == QByteArray(saved) + kTemporaryMarker) {
            return true;
        }
    }
    return false;
}

// Creates `target` only if nothing is there. Without RENAME_NOREPLACE (old kernels, some
// network and FUSE file systems) the bytes are written straight into a new file instead.
bool placeWithoutReplacing(const QByteArray& temporary, const QByteArray& target,
                           QByteArrayView bytes) {
    if (::renameat2(AT_FDCWD, temporary.constData(), AT_FDCWD, target.constData(),
                    RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP && errno != EPERM) {
        return false;
    }
    const int fd = ::open(target.constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) {
        return false;
    }
    bool ok = writeAll(fd, bytes) && ::fdatasync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        ::unlink(target.constData());
    }
    return ok;
}

} // namespace

bool writeAll(int fd, QByteArrayView bytes) {
    const char* data = bytes.data();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        left -= written;
    }
    return true;
}

Read readRegular(const QString& path, qint64 maximumBytes) {
    const QByteArray encoded = QFile::encodeName(path);
    // Without O_NONBLOCK, opening a FIFO waits for a writer forever.
    const int fd = ::open(encoded.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return {errno == ENOENT ? Read::Status::Missing : Read::Status::Unreadable, {}};
    }
    Read result{Read::Status::Unreadable, {}};
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= maximumBytes) {
        // The size is re-checked while reading: the file may grow after fstat.
        QByteArray bytes(qsizetype(info.st_size) + 1, Qt::Uninitialized);
        qint64 total = 0;
        bool failed = false;
        for (;;) {
            if (total == bytes.size()) {
                if (total > maximumBytes) {
                    break;
                }
                bytes.resize(std::min<qint64>(total * 2 + 4096, maximumBytes + 1));
            }
            const ssize_t n = ::read(fd, bytes.data() + total, size_t(bytes.size() - total));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                failed = n < 0;
                break;
            }
            total += n;
        }
        if (!failed && total <= maximumBytes) {
            bytes.truncate(qsizetype(total));
            result = {Read::Status::Read, std::move(bytes)};
        }
    }
    ::close(fd);
    return result;
}

int openRegular(const QString& path, int flags, unsigned mode) {
    const int fd = ::open(QFile::encodeName(path).constData(),
                          flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode_t(mode));
    if (fd < 0) {
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        errno = kNotRegular;
        return -1;
    }
    return fd;
}

bool setAside(const QString& path, const QString& preservedName) {
    const QString preserved = QFileInfo(path).dir().filePath(preservedName);
    const QByteArray target = QFile::encodeName(preserved);
    struct stat info {};
    if (::lstat(target.constData(), &info) == 0) {
        if (S_ISDIR(info.st_mode) || ::unlink(target.constData()) != 0) {
            return false;
        }
    }
    if (std::rename(QFile::encodeName(path).constData(), target.constData()) != 0) {
        return false;
    }
    Paths::protectFile(preserved);
    return true;
}

bool writeAtomically(const QString& path, QByteArrayView bytes, bool replaceExisting) {
    const QByteArray target = QFile::encodeName(path);
    QByteArray temporary = target + kTemporaryMarker + QByteArray(kRandomLength, 'X');
    // mkostemp creates the file 0600, so the contents are never readable by others.
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    // Held until the file is in place: it tells removeStaleTemporaries that a save is running.
    ::flock(fd, LOCK_EX);
    bool ok = writeAll(fd, bytes) && ::fdatasync(fd) == 0;
    if (ok) {
        ok = replaceExisting ? ::rename(temporary.constData(), target.constData()) == 0
                             : placeWithoutReplacing(temporary, target, bytes);
    }
    const int savedErrno = errno;
    if (!ok || !replaceExisting) {
        ::unlink(temporary.constData());
    }
    ::close(fd);
    errno = savedErrno;
    return ok;
}

void removeStaleTemporaries(const QString& directory) {
    DIR* dir = ::opendir(QFile::encodeName(directory).constData());
    if (dir == nullptr) {
        return;
    }
    const int dirFd = ::dirfd(dir);
    const time_t now = ::time(nullptr);
    while (const dirent* entry = ::readdir(dir)) {
        if (!isTemporaryName(entry->d_name)) {
            continue;
        }
        const int fd = ::openat(dirFd, entry->d_name,
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) {
            continue;
        }
        struct stat info {};
        // A file system without locks leaves only the age to go by.
        const bool unowned = ::flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
        if (unowned && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
            now - info.st_mtime > kAbandonedAfterSeconds) {
            ::unlinkat(dirFd, entry->d_name, 0);
        }
        ::close(fd);
    }
    ::closedir(dir);
}

} // namespace quovant::DataFile
