#include "settings/data_file.h"

#include "settings/paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quovant::DataFile {

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

} // namespace quovant::DataFile
