#include "settings/rotating_log_writer.h"

#include "settings/data_file.h"
#include "settings/paths.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quovant {

namespace {

void writeAll(int fd, const char* data, qint64 size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(size));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        data += written;
        size -= written;
    }
}

} // namespace

RotatingLogWriter::RotatingLogWriter(const QString& path, qint64 maxBytes, qint64 backupCount)
    : m_path(path), m_encodedPath(QFile::encodeName(path)),
      m_maxBytes(std::max<qint64>(maxBytes, 1)), m_backupCount(std::max<qint64>(backupCount, 0)) {
    const QString parent = QFileInfo(path).absolutePath();
    Paths::makePrivateDirectory(parent);
    Paths::protectDirectory(parent);
}

QByteArray RotatingLogWriter::backupPath(qint64 number) const {
    return m_encodedPath + '.' + QByteArray::number(number);
}

QByteArray RotatingLogWriter::capped(const QByteArray& data) const {
    return data.size() > m_maxBytes ? data.left(m_maxBytes) : data;
}

qint64 RotatingLogWriter::currentSize() const {
    // Only a regular file grows; anything else in its place is never rotated away.
    struct stat info {};
    return ::lstat(m_encodedPath.constData(), &info) == 0 && S_ISREG(info.st_mode) ? info.st_size
                                                                                     : 0;
}

void RotatingLogWriter::writeToFile(const QByteArray& bytes) {
    // O_APPEND places every write at the end even if something else grew the file meanwhile.
    // A link is not followed and a FIFO never blocks: such a file is left alone.
    const int fd = DataFile::openRegular(m_path, O_WRONLY | O_APPEND | O_CREAT);
    m_refused = fd < 0 && (errno == ELOOP || errno == DataFile::kNotRegular || errno == ENXIO ||
                           errno == EISDIR);
    if (fd < 0) {
        return;
    }
    writeAll(fd, bytes.constData(), bytes.size());
    ::fchmod(fd, 0600);
    ::close(fd);
}

void RotatingLogWriter::append(const QByteArray& data) {
    const QByteArray bytes = capped(data);
    rotateIfNeeded(bytes.size());
    writeToFile(bytes);
}

void RotatingLogWriter::appendAll(const QList<QByteArray>& pieces) {
    qint64 size = currentSize();
    QByteArray pending;
    for (const QByteArray& piece : pieces) {
        const QByteArray bytes = capped(piece);
        const qint64 total = size + pending.size();
        if (total != 0 && total + bytes.size() > m_maxBytes) {
            if (!pending.isEmpty()) {
                writeToFile(pending);
                pending.clear();
            }
            rotate();
            size = 0;
        }
        pending += bytes;
    }
    if (!pending.isEmpty()) {
        writeToFile(pending);
    }
}

void RotatingLogWriter::rotateIfNeeded(qint64 adding) {
    const qint64 size = currentSize();
    if (size == 0 || size + adding <= m_maxBytes) {
        return;
    }
    rotate();
}

void RotatingLogWriter::rotate() {
    struct stat info {};
    if (::lstat(m_encodedPath.constData(), &info) == 0 && !S_ISREG(info.st_mode)) {
        return;
    }
    for (qint64 i = m_backupCount; i >= 1; --i) {
        const QByteArray target = backupPath(i);
        ::unlink(target.constData());
        const QByteArray source = i == 1 ? m_encodedPath : backupPath(i - 1);
        if (::rename(source.constData(), target.constData()) == 0) {
            Paths::protectFile(QFile::decodeName(target));
        }
    }
    ::unlink(m_encodedPath.constData());
}

} // namespace quovant
