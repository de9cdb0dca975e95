#include "settings/paths.h"

#include "settings/data_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace quovant::Paths {

namespace {

QString environment(const char* name) {
    return qEnvironmentVariable(name);
}

// chmod would follow a symbolic link planted in the data directory to a target outside it: the
// permissions are set on what was opened without following links, and only when it is of the
// expected type.
void chmodPath(const QString& path, mode_t mode, bool directory) {
    const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY |
                      (directory ? O_DIRECTORY : 0);
    const int fd = ::open(QFile::encodeName(path).constData(), flags);
    if (fd < 0) {
        return;
    }
    struct stat info {};
    if (::fstat(fd, &info) == 0 && (directory ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode))) {
        ::fchmod(fd, mode);
    }
    ::close(fd);
}

// mkdir for `path` and each missing parent; the mode is further narrowed by the umask.
void makeDirectories(const QString& path, mode_t mode) {
    const QByteArray native = QFile::encodeName(QDir::cleanPath(path));
    for (qsizetype slash = native.indexOf('/', 1); slash != -1;
         slash = native.indexOf('/', slash + 1)) {
        ::mkdir(native.left(slash).constData(), mode);
    }
    ::mkdir(native.constData(), mode);
}

bool isDirectory(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool existsWithoutFollowing(const QString& path) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

// Entries of "audio" are tightened only when they are regular files in a real folder: chmod
// follows symbolic links, and a link planted there must not change the permissions of what it
// points at.
void protectAudioEntries(const QString& audio) {
    const int fd = ::open(QFile::encodeName(audio).constData(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd);
    if (dir == nullptr) {
        if (fd >= 0) {
            ::close(fd);
        }
        return;
    }
    const int dirFd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (qstrcmp(name, ".") == 0 || qstrcmp(name, "..") == 0) {
            continue;
        }
        struct stat info {};
        if (::fstatat(dirFd, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode)) {
            ::fchmodat(dirFd, name, 0600, 0);
        }
    }
    ::closedir(dir);
}

} // namespace

QString locateRoot(const QString& quovantHome, const QString& xdgDataHome, const QString& home) {
    if (!quovantHome.isEmpty()) {
        return QDir::cleanPath(QDir(quovantHome).absolutePath());
    }
    // XDG base directories must be absolute; a relative value is ignored.
    QString dataHome = xdgDataHome;
    if (dataHome.isEmpty() || QDir::isRelativePath(dataHome)) {
        const QString homeDir = home.isEmpty() ? QDir::homePath() : home;
        dataHome = homeDir + u"/.local/share"_s;
    }
    return QDir::cleanPath(dataHome + u"/Quovant"_s);
}

void prepareRoot(const QString& root, const QString& sharedParent) {
    const QFileInfo rootInfo(root);
    // Only a root named Quovant inherits the old name's folder; an explicitly chosen directory
    // with another name has no "Palvane" predecessor.
    if (rootInfo.fileName() == u"Quovant"_s) {
        const QString legacy = rootInfo.dir().filePath(u"Palvane"_s);
        if (isDirectory(legacy) && !existsWithoutFollowing(root)) {
            ::rename(QFile::encodeName(legacy).constData(), QFile::encodeName(root).constData());
        }
    }
    if (!sharedParent.isEmpty()) {
        makeDirectories(sharedParent, 0755);
    }
    makePrivateDirectory(root);
    protectDirectory(root);
    DataFile::removeStaleTemporaries(root);
    for (const QString& name : {u"config.json"_s, u"history.jsonl"_s, u"vocabulary.txt"_s,
                                u"learned.json"_s, u"quovant.log"_s, u"palvane.log"_s}) {
        const QString path = root + u'/' + name;
        if (existsWithoutFollowing(path)) {
            protectFile(path);
        }
    }
    const QString audio = root + u"/audio"_s;
    if (isDirectory(audio)) {
        protectDirectory(audio);
        protectAudioEntries(audio);
    }
}

QString root() {
    static const QString kRoot = [] {
        const QString home = environment("QUOVANT_HOME");
        const QString location =
            locateRoot(home, environment("XDG_DATA_HOME"), environment("HOME"));
        // Without an override the root is "Quovant" in the XDG data directory.
        prepareRoot(location, home.isEmpty() ? QFileInfo(location).path() : QString());
        return location;
    }();
    return kRoot;
}

void protectFile(const QString& path) {
    chmodPath(path, 0600, false);
}

void protectDirectory(const QString& path) {
    chmodPath(path, 0700, true);
}

bool makePrivateDirectory(const QString& path) {
    makeDirectories(path, 0700);
    return isDirectory(path);
}

} // namespace quovant::Paths
