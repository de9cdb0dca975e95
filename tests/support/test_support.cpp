#include "support/test_support.h"

#include <QFile>
#include <sys/stat.h>

namespace quovant::testing {

TemporaryHome::TemporaryHome() {
    if (qEnvironmentVariableIsSet("QUOVANT_HOME")) {
        m_previous = qgetenv("QUOVANT_HOME");
    }
    qputenv("QUOVANT_HOME", m_dir.path().toUtf8());
}

TemporaryHome::~TemporaryHome() {
    if (m_previous) {
        qputenv("QUOVANT_HOME", *m_previous);
    } else {
        qunsetenv("QUOVANT_HOME");
    }
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(bytes);
    }
}

int permissions(const QString& path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        return -1;
    }
    return static_cast<int>(info.st_mode & 07777);
}

} // namespace quovant::testing
