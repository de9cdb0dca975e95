#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace quovant {

// An append-only file bounded to `maxBytes`, rotated into numbered backups ("<path>.1" the most
// recent, "<path>.<backupCount>" the oldest). Not thread-safe: one writer thread owns it.
// File-system failures are ignored; links are never followed.
class RotatingLogWriter {
public:
    // Clamps maxBytes to at least 1 and backupCount to at least 0; creates the parent directory
    // with permissions 0700.
    RotatingLogWriter(const QString& path, qint64 maxBytes, qint64 backupCount);

    // Adds bytes to the file (at most maxBytes of them), rotating first when they would not fit.
    void append(const QByteArray& data);
    // The same as appending each piece in turn, with one file opening per rotation instead of
    // one per piece. Assumes nothing else writes the file meanwhile.
    void appendAll(const QList<QByteArray>& pieces);

    // True when the last write found a link, a folder or a special file at the path, which is
    // then left as it is and gets nothing.
    bool refused() const { return m_refused; }

    const QString& path() const { return m_path; }
    qint64 maxBytes() const { return m_maxBytes; }
    qint64 backupCount() const { return m_backupCount; }

private:
    void rotateIfNeeded(qint64 adding);
    void rotate();
    qint64 currentSize() const;
    QByteArray capped(const QByteArray& data) const;
    // Appends to the file, creating it if needed, and protects it.
    void writeToFile(const QByteArray& bytes);
    QByteArray backupPath(qint64 number) const;

    const QString m_path;
    const QByteArray m_encodedPath;
    const qint64 m_maxBytes;
    const qint64 m_backupCount;
    bool m_refused = false;
};

} // namespace quovant
