// The Qt 6 twin of gtk_fields.py for the accessibility tests: a line edit ("entry"), a password
// line edit ("password"), a read-only plain-text view ("readonly") and a plain-text editor
// ("editor"), driven by the same line commands on standard input with the same answers:
// focus, set (JSON text), select (offsets in characters, i.e. code points), get, selection,
// paste (JSON text), hang (seconds), quit. "ready" once the window is active. The accessibility
// bridge needs QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 unless a screen reader is running.

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSocketNotifier>
#include <QTextBlock>
#include <QTextCursor>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdio>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

void reply(const QString& line) {
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

QString json(const QJsonValue& value) {
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

QString fromJson(const QString& text) {
    const QJsonDocument document = QJsonDocument::fromJson(u"[%1]"_s.arg(text).toUtf8());
    return document.array().at(0).toString();
}

// Code points to UTF-16 positions, as the widgets count.
int utf16Position(const QString& text, int codePoints) {
    int position = 0;
    for (int seen = 0; seen < codePoints && position < text.size(); ++seen) {
        position += text.at(position).isHighSurrogate() && position + 1 < text.size() ? 2 : 1;
    }
    return position;
}

int codePoints(const QString& text, int utf16) {
    return int(text.left(utf16).toUcs4().size());
}

class Fields : public QWidget {
public:
    explicit Fields(const QString& title) {
        setWindowTitle(title);
        resize(600, 400);
        auto* layout = new QVBoxLayout(this);
        m_entry = new QLineEdit(this);
        m_password = new QLineEdit(this);
        m_password->setEchoMode(QLineEdit::Password);
        m_readonly = new QPlainTextEdit(this);
        m_readonly->setReadOnly(true);
        m_readonly->setPlainText(u"Read-only notes that cannot be changed."_s);
        m_editor = new QPlainTextEdit(this);
        layout->addWidget(m_entry);
        layout->addWidget(m_password);
        layout->addWidget(m_readonly);
        layout->addWidget(m_editor);
    }

    QWidget* field(const QString& name) const {
        if (name == u"entry"_s) {
            return m_entry;
        }
        if (name == u"password"_s) {
            return m_password;
        }
        if (name == u"readonly"_s) {
            return m_readonly;
        }
        if (name == u"editor"_s) {
            return m_editor;
        }
        return nullptr;
    }

    void handle(const QString& line) {
        const QString command = line.section(u' ', 0, 0);
        const QString rest = line.section(u' ', 1);
        QWidget* target = field(rest.section(u' ', 0, 0));
        if (command == u"focus"_s && target) {
            activateWindow();
            target->setFocus(Qt::OtherFocusReason);
            reply(u"ok"_s);
        } else if (command == u"set"_s && target) {
            setText(target, fromJson(rest.section(u' ', 1)));
            reply(u"ok"_s);
        } else if (command == u"select"_s && target) {
            select(target, rest.section(u' ', 1, 1).toInt(), rest.section(u' ', 2, 2).toInt());
            reply(u"ok"_s);
        } else if (command == u"get"_s && target) {
            reply(json(text(target)));
        } else if (command == u"selection"_s && target) {
            reply(selection(target));
        } else if (command == u"paste"_s) {
            paste(fromJson(rest));
            reply(u"ok"_s);
        } else if (command == u"hang"_s) {
            reply(u"ok"_s);
            QThread::msleep(static_cast<unsigned long>(rest.toDouble() * 1000));
        } else if (command == u"quit"_s) {
            QApplication::quit();
        } else {
            reply(u"error unknown command "_s + line);
        }
    }

private:
    static void setText(QWidget* widget, const QString& value) {
        if (auto* line = qobject_cast<QLineEdit*>(widget)) {
            line->setText(value);
        } else if (auto* plain = qobject_cast<QPlainTextEdit*>(widget)) {
            plain->setPlainText(value);
        }
    }

    static QString text(QWidget* widget) {
        if (auto* line = qobject_cast<QLineEdit*>(widget)) {
            return line->text();
        }
        return static_cast<QPlainTextEdit*>(widget)->toPlainText();
    }

    static void select(QWidget* widget, int start, int end) {
        const QString all = text(widget);
        const int from = utf16Position(all, start);
        const int to = utf16Position(all, end);
        if (auto* line = qobject_cast<QLineEdit*>(widget)) {
            line->setSelection(from, to - from);
        } else if (auto* plain = qobject_cast<QPlainTextEdit*>(widget)) {
            QTextCursor cursor = plain->textCursor();
            cursor.setPosition(from);
            cursor.setPosition(to, QTextCursor::KeepAnchor);
            plain->setTextCursor(cursor);
        }
    }

    static QString selection(QWidget* widget) {
        const QString all = text(widget);
        if (auto* line = qobject_cast<QLineEdit*>(widget)) {
            if (!line->hasSelectedText()) {
                return u"null"_s;
            }
            const int from = line->selectionStart();
            return u"[%1, %2]"_s.arg(codePoints(all, from))
                .arg(codePoints(all, from + line->selectionLength()));
        }
        const QTextCursor cursor = static_cast<QPlainTextEdit*>(widget)->textCursor();
        if (!cursor.hasSelection()) {
            return u"null"_s;
        }
        return u"[%1, %2]"_s.arg(codePoints(all, cursor.selectionStart()))
            .arg(codePoints(all, cursor.selectionEnd()));
    }

    void paste(const QString& value) {
        QWidget* focused = focusWidget();
        if (auto* line = qobject_cast<QLineEdit*>(focused)) {
            line->insert(value);
        } else if (auto* plain = qobject_cast<QPlainTextEdit*>(focused);
                   plain && !plain->isReadOnly()) {
            plain->insertPlainText(value);
        }
    }

    QLineEdit* m_entry;
    QLineEdit* m_password;
    QPlainTextEdit* m_readonly;
    QPlainTextEdit* m_editor;
};

} // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    Fields fields(argc > 1 ? QString::fromLocal8Bit(argv[1]) : u"Fields"_s);
    fields.show();
    fields.activateWindow();

    QTimer announce;
    announce.setInterval(20);
    QObject::connect(&announce, &QTimer::timeout, &fields, [&] {
        if (fields.isActiveWindow()) {
            announce.stop();
            fields.field(u"entry"_s)->setFocus(Qt::OtherFocusReason);
            reply(u"ready"_s);
        }
    });
    announce.start();

    QByteArray pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &fields, [&] {
        char buffer[65536];
        const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (count <= 0) {
            QApplication::quit();
            return;
        }
        pending.append(buffer, count);
        qsizetype newline;
        while ((newline = pending.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(pending.left(newline));
            pending.remove(0, newline + 1);
            fields.handle(line);
        }
    });
    return application.exec();
}
