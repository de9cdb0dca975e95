#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <ostream>

// Readable QString values in test failures.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace quovant::testing {

// Runs a program to completion; answers its standard output, or a null array when it failed.
QByteArray runProgram(const QString& program, const QStringList& arguments,
                      const QString& workingDirectory = {});

// A fresh Git repository in a temporary folder, made with the real git.
class GitRepository {
public:
    GitRepository();

    // The root with symbolic links resolved, as the indexer reports it.
    QString root() const { return m_root; }
    QString path(const QString& relative) const { return m_root + u'/' + relative; }

    // Creates parent folders as needed.
    void write(const QString& relative, const QByteArray& bytes) const;
    void makeFifo(const QString& relative) const;
    void symlink(const QString& target, const QString& relative) const;
    QByteArray git(const QStringList& arguments) const;
    void commitAll(const QString& message = QStringLiteral("snapshot")) const;

private:
    QTemporaryDir m_dir;
    QString m_root;
};

// A temporary folder with a resolved path.
class ScratchFolder {
public:
    ScratchFolder();
    QString path(const QString& relative = {}) const;
    void write(const QString& relative, const QByteArray& bytes) const;
    // A shell script that only its owner may run; answers its path.
    QString script(const QString& relative, const QByteArray& body) const;

private:
    QTemporaryDir m_dir;
    QString m_root;
};

} // namespace quovant::testing
