#pragma once

#include <QJsonValue>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

#include <optional>

namespace quovant::testing {

// A window with an entry, a password entry, a read-only text view and a multi-line editor, driven
// line by line: tests/programs/gtk_fields.py (GTK 3) or qt_fields.cpp (Qt 6). Killed with the test.
class FieldsProgram {
public:
    enum class Toolkit { gtk, qt };

    FieldsProgram(const QProcessEnvironment& environment, const QString& title,
                  Toolkit toolkit = Toolkit::gtk);
    ~FieldsProgram();

    // True once the window has keyboard focus.
    bool ready() const { return m_ready; }
    qint64 processId() const { return m_process.processId(); }

    // Each gives the program's answer line, or nullopt when it did not answer in time.
    std::optional<QString> command(const QString& line, int timeoutMs = 20000);
    bool focus(const QString& field);
    bool setText(const QString& field, const QString& text);
    // Offsets in characters (code points).
    bool select(const QString& field, int start, int end);
    std::optional<QString> text(const QString& field);
    // Replaces the focused field's selection with `text`, as a paste would.
    bool paste(const QString& text);
    // Blocks the program's main loop for `seconds` (answers first).
    bool hang(double seconds);

private:
    std::optional<QString> readLine(int timeoutMs);

    QProcess m_process;
    bool m_ready = false;
};

} // namespace quovant::testing
