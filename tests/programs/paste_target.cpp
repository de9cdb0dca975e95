// A small X11 application for the desktop tests: a line edit, a plain-text edit and a password
// field that report on standard output what they receive, and commands on standard input that set
// or read the clipboard with any number of targets.
//
// Options: --focus line|text|password, --paste-delay-ms N (handle Ctrl+V N ms late),
// --ignore-paste (swallow Ctrl+V, as an application that never fetches the clipboard).
// Output lines: "READY <window id>", "TEXT <field> <base64 of the field's whole text>",
// "PASTE <field>" when a paste keystroke arrives, "FOCUSED <field>", "CLEARED",
// "COPIED" (or "COPY_FAILED" when the server refused the claim),
// "CLIP <target> <base64 or ->".
// Commands: "focus <field>", "clear", "copy <target> <base64> [<target> <base64> ...]",
// "read <target>", "quit".

#include <QApplication>
#include <QClipboard>
#include <QCommandLineParser>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QSocketNotifier>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdio>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

void say(const QByteArray& line) {
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

class PasteTarget : public QWidget {
public:
    PasteTarget(int pasteDelayMS, bool ignorePaste)
        : m_pasteDelayMS(pasteDelayMS), m_ignorePaste(ignorePaste) {
        setWindowTitle(u"Quovant paste target"_s);
        auto* layout = new QVBoxLayout(this);
        m_line = new QLineEdit(this);
        m_text = new QPlainTextEdit(this);
        m_password = new QLineEdit(this);
        m_password->setEchoMode(QLineEdit::Password);
        m_password->setAccessibleName(u"Password"_s);
        layout->addWidget(m_line);
        layout->addWidget(m_text);
        layout->addWidget(m_password);
        for (QWidget* field : fields()) {
            field->installEventFilter(this);
        }
        connect(m_line, &QLineEdit::textChanged, this,
                [](const QString& text) { report("line", text); });
        connect(m_text, &QPlainTextEdit::textChanged, this,
                [this] { report("text", m_text->toPlainText()); });
        connect(m_password, &QLineEdit::textChanged, this,
                [](const QString& text) { report("password", text); });
        resize(600, 400);
    }

    QList<QWidget*> fields() const { return {m_line, m_text, m_password}; }

    QWidget* field(const QByteArray& name) const {
        if (name == "text") {
            return m_text;
        }
        if (name == "password") {
            return m_password;
        }
        return m_line;
    }

    static QByteArray fieldName(QObject* field, const PasteTarget* target) {
        if (field == target->m_text) {
            return "text";
        }
        if (field == target->m_password) {
            return "password";
        }
        return "line";
    }

    void focusField(const QByteArray& name) {
        activateWindow();
        field(name)->setFocus(Qt::OtherFocusReason);
    }

    void clearFields() {
        const QSignalBlocker a(m_line), b(m_text), c(m_password);
        m_line->clear();
        m_text->clear();
        m_password->clear();
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress) {
            return false;
        }
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() != Qt::Key_V || !(key->modifiers() & Qt::ControlModifier)) {
            return false;
        }
        say("PASTE " + fieldName(watched, this));
        if (m_ignorePaste) {
            return true;
        }
        if (m_pasteDelayMS > 0) {
            QTimer::singleShot(m_pasteDelayMS, watched, [watched] {
                if (auto* line = qobject_cast<QLineEdit*>(watched)) {
                    line->paste();
                } else if (auto* text = qobject_cast<QPlainTextEdit*>(watched)) {
                    text->paste();
                }
            });
            return true;
        }
        return false;
    }

private:
    static void report(const char* field, const QString& text) {
        say(QByteArray("TEXT ") + field + ' ' + text.toUtf8().toBase64());
    }

    int m_pasteDelayMS;
    bool m_ignorePaste;
    QLineEdit* m_line;
    QPlainTextEdit* m_text;
    QLineEdit* m_password;
};

void runCommand(PasteTarget& target, const QByteArray& line) {
    const QList<QByteArray> words = line.trimmed().split(' ');
    const QByteArray command = words.value(0);
    if (command == "focus") {
        target.focusField(words.value(1));
        say("FOCUSED " + words.value(1));
    } else if (command == "clear") {
        target.clearFields();
        say("CLEARED");
    } else if (command == "copy") {
        auto* data = new QMimeData;
        for (qsizetype i = 1; i + 1 < words.size(); i += 2) {
            data->setData(QString::fromUtf8(words[i]), QByteArray::fromBase64(words[i + 1]));
        }
        QGuiApplication::clipboard()->setMimeData(data);
        // Asking the server who owns the clipboard also makes sure our claim reached it.
        say(QGuiApplication::clipboard()->ownsClipboard() ? "COPIED" : "COPY_FAILED");
    } else if (command == "read") {
        const QMimeData* data = QGuiApplication::clipboard()->mimeData();
        const QString format = QString::fromUtf8(words.value(1));
        const QByteArray bytes = data && data->hasFormat(format) ? data->data(format) : QByteArray();
        say("CLIP " + words.value(1) + ' ' + (bytes.isEmpty() ? QByteArray("-") : bytes.toBase64()));
    } else if (command == "quit") {
        QCoreApplication::quit();
    }
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOption({u"focus"_s, u"Field to focus."_s, u"field"_s, u"line"_s});
    parser.addOption({u"paste-delay-ms"_s, u"Handle Ctrl+V this late."_s, u"ms"_s, u"0"_s});
    parser.addOption({u"ignore-paste"_s, u"Never fetch the clipboard."_s});
    parser.process(app);

    PasteTarget target(parser.value(u"paste-delay-ms"_s).toInt(), parser.isSet(u"ignore-paste"_s));
    target.show();
    const QByteArray focus = parser.value(u"focus"_s).toUtf8();

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, &target, [&] {
        char buffer[65536];
        const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (count <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        pending.append(buffer, count);
        for (qsizetype end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
            const QByteArray line = pending.left(end);
            pending.remove(0, end + 1);
            runCommand(target, line);
        }
    });

    // Ready once the window is on screen and the field holds the keyboard focus.
    auto* ready = new QTimer(&target);
    QObject::connect(ready, &QTimer::timeout, &target, [&, ready] {
        target.focusField(focus);
        if (target.isActiveWindow() && QApplication::focusWidget() == target.field(focus)) {
            ready->stop();
            say("READY " + QByteArray::number(target.winId()));
        }
    });
    ready->start(50);
    return app.exec();
}
