#include "repository/git_repository_fixture.h"

#include "support/test_support.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace quovant::testing {

namespace {

void writeWithFolders(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    writeFile(path, bytes);
}

} // namespace

QByteArray runProgram(const QString& program, const QStringList& arguments,
                      const QString& workingDirectory) {
    QProcess process;
    process.setWorkingDirectory(workingDirectory);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        ADD_FAILURE() << program.toStdString() << " " << arguments.join(u' ').toStdString()
                      << " failed: " << process.readAllStandardError().toStdString();
        return {};
    }
    QByteArray output = process.readAllStandardOutput();
    return output.isNull() ? QByteArray("") : output;
}

GitRepository::GitRepository() : m_root(QFileInfo(m_dir.path()).canonicalFilePath()) {
    git({u"init"_s, u"-q"_s, u"-b"_s, u"main"_s});
}

void GitRepository::write(const QString& relative, const QByteArray& bytes) const {
    writeWithFolders(path(relative), bytes);
}

void GitRepository::makeFifo(const QString& relative) const {
    QDir().mkpath(QFileInfo(path(relative)).path());
    ::unlink(QFile::encodeName(path(relative)).constData());
    ASSERT_EQ(::mkfifo(QFile::encodeName(path(relative)).constData(), 0600), 0);
}

void GitRepository::symlink(const QString& target, const QString& relative) const {
    QDir().mkpath(QFileInfo(path(relative)).path());
    ASSERT_EQ(::symlink(QFile::encodeName(target).constData(),
                        QFile::encodeName(path(relative)).constData()),
              0);
}

QByteArray GitRepository::git(const QStringList& arguments) const {
    return runProgram(u"git"_s, QStringList{u"-c"_s, u"user.name=Test"_s, u"-c"_s,
                                            u"user.email=test@example.invalid"_s, u"-c"_s,
                                            u"commit.gpgsign=false"_s, u"-C"_s, m_root} +
                                    arguments);
}

void GitRepository::commitAll(const QString& message) const {
    git({u"add"_s, u"-A"_s});
    git({u"commit"_s, u"-q"_s, u"--allow-empty"_s, u"-m"_s, message});
}

ScratchFolder::ScratchFolder() : m_root(QFileInfo(m_dir.path()).canonicalFilePath()) {}

QString ScratchFolder::path(const QString& relative) const {
    return relative.isEmpty() ? m_root : m_root + u'/' + relative;
}

void ScratchFolder::write(const QString& relative, const QByteArray& bytes) const {
    writeWithFolders(path(relative), bytes);
}

QString ScratchFolder::script(const QString& relative, const QByteArray& body) const {
    write(relative, "#!/bin/sh\n" + body);
    QFile::setPermissions(path(relative), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    return path(relative);
}

} // namespace quovant::testing
