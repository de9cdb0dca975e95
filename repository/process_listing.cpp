#include "repository/process_listing.h"

#include <QByteArray>
#include <QFile>

#include <cerrno>
#include <climits>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

// Long enough for any program name and the arguments that tell an agent apart.
constexpr qsizetype kMaxCommandBytes = 65536;
constexpr qsizetype kMaxStatBytes = 4096;

QByteArray readProcFile(const QByteArray& path, qsizetype maxBytes) {
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    QByteArray bytes(maxBytes, Qt::Uninitialized);
    qsizetype got = 0;
    while (got < maxBytes) {
        const ssize_t n = ::read(fd, bytes.data() + got, static_cast<size_t>(maxBytes - got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += n;
    }
    ::close(fd);
    bytes.truncate(got);
    return bytes;
}

std::optional<qint32> parseProcessID(QByteArrayView text) {
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok);
    if (!ok || value < 0 || value > INT_MAX) {
        return std::nullopt;
    }
    return static_cast<qint32>(value);
}

// The parent from "pid (comm) state ppid ...": the name may hold blanks and parentheses, so
// the fields are counted from the last ")".
std::optional<qint32> parentFromStat(const QByteArray& stat) {
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0) {
        return std::nullopt;
    }
    const QList<QByteArray> fields = stat.mid(close + 1).simplified().split(' ');
    if (fields.size() < 2) {
        return std::nullopt;
    }
    return parseProcessID(fields[1]);
}

} // namespace

QList<ProcessRow> ProcessListing::processRows() {
    QList<ProcessRow> rows;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) {
        return rows;
    }
    while (const dirent* item = ::readdir(proc)) {
        const QByteArrayView name(item->d_name);
        if (name.isEmpty() || name[0] < '0' || name[0] > '9') {
            continue;
        }
        const auto processID = parseProcessID(name);
        if (!processID) {
            continue;
        }
        const QByteArray base = "/proc/" + name.toByteArray();
        // A process that ended since the directory was read has no stat any more.
        const auto parent = parentFromStat(readProcFile(base + "/stat", kMaxStatBytes));
        if (!parent) {
            continue;
        }
        QByteArray command = readProcFile(base + "/cmdline", kMaxCommandBytes);
        while (command.endsWith('\0')) {
            command.chop(1);
        }
        command.replace('\0', ' ');
        rows.append({*processID, *parent, QString::fromUtf8(command)});
    }
    ::closedir(proc);
    return rows;
}

QHash<qint32, QString> ProcessListing::cwdByProcessID(const QList<qint32>& processIDs) {
    QHash<qint32, QString> directories;
    char buffer[PATH_MAX];
    for (const qint32 processID : processIDs) {
        const QByteArray link = "/proc/" + QByteArray::number(processID) + "/cwd";
        const ssize_t n = ::readlink(link.constData(), buffer, sizeof buffer);
        if (n > 0 && n < static_cast<ssize_t>(sizeof buffer)) {
            directories.insert(processID, QFile::decodeName(QByteArray(buffer, n)));
        }
    }
    return directories;
}

} // namespace quovant
