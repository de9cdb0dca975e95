#pragma once

#include <QCoroTask>
#include <QTemporaryDir>
#include <QString>

#include <optional>

namespace quovant::testing {

// A fresh data directory for one test: sets QUOVANT_HOME for its lifetime, restores it after.
class TemporaryHome {
public:
    TemporaryHome();
    ~TemporaryHome();
    QString path() const { return m_dir.path(); }
    QString filePath(const QString& name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
    std::optional<QByteArray> m_previous;
};

// Runs a task on the event loop until it completes and gives its result (or rethrows).
template <typename T> T run(QCoro::Task<T>&& task) { return QCoro::waitFor(std::move(task)); }
inline void run(QCoro::Task<void>&& task) { QCoro::waitFor(std::move(task)); }

QByteArray readFile(const QString& path);
void writeFile(const QString& path, const QByteArray& bytes);
// POSIX permission bits of a path (e.g. 0600), or -1 when it cannot be read.
int permissions(const QString& path);

} // namespace quovant::testing
