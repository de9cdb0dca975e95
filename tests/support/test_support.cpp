#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace quovant::testing {

void isolateHome(const QString& root) {
    const QDir base(root);
    for (const auto& [variable, folder] :
         {std::pair{"HOME", "home"}, std::pair{"XDG_CONFIG_HOME", "home/.config"},
          std::pair{"XDG_DATA_HOME", "home/.local/share"}, std::pair{"XDG_CACHE_HOME", "home/.cache"},
          std::pair{"XDG_STATE_HOME", "home/.local/state"}}) {
        const QString path = base.filePath(QString::fromLatin1(folder));
        base.mkpath(path);
        qputenv(variable, path.toUtf8());
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

void writeExecutable(const QString& path, const QByteArray& text) {
    QDir().mkpath(QFileInfo(path).path());
    writeFile(path, text);
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                    QFileDevice::ExeOwner);
}

int permissions(const QString& path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        return -1;
    }
    return static_cast<int>(info.st_mode & 07777);
}

bool speakWithFlite(const QString& voice, const QString& text, const QString& wavPath) {
    QProcess flite;
    flite.start(QStringLiteral("flite"), {QStringLiteral("-voice"), voice, QStringLiteral("-t"),
                                          text, QStringLiteral("-o"), wavPath});
    return flite.waitForFinished(60000) && flite.exitStatus() == QProcess::NormalExit &&
           flite.exitCode() == 0;
}

int wordErrors(const QStringList& reference, const QStringList& hypothesis) {
    std::vector<int> row(hypothesis.size() + 1);
    for (qsizetype j = 0; j <= hypothesis.size(); ++j) {
        row[j] = int(j);
    }
    for (qsizetype i = 1; i <= reference.size(); ++i) {
        int diagonal = row[0];
        row[0] = int(i);
        for (qsizetype j = 1; j <= hypothesis.size(); ++j) {
            const int above = row[j];
            row[j] = std::min(
                {row[j] + 1, row[j - 1] + 1, diagonal + (reference[i - 1] != hypothesis[j - 1])});
            diagonal = above;
        }
    }
    return row[hypothesis.size()];
}

} // namespace quovant::testing
