#include "platform/linux/x11/linux_frontmost_app.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include "platform/linux/x11/x11_support.h"

#include <X11/Xatom.h>

using namespace Qt::StringLiterals;

namespace quovant {

struct LinuxFrontmostApp::Connection {
    x11::DisplayHandle display;

    Display* get() {
        if (!display || x11::isLost(display.get())) {
            display = x11::openDisplay();
        }
        return display.get();
    }
};

struct LinuxFrontmostApp::FrontWindow {
    std::optional<QString> identifier;
    std::optional<QString> name;
    qint32 processID = 0;
    QString title;
};

LinuxFrontmostApp::LinuxFrontmostApp() : m_connection(std::make_unique<Connection>()) {}
LinuxFrontmostApp::~LinuxFrontmostApp() = default;

namespace {

std::optional<QString> processName(qint32 processID) {
    if (processID <= 0) {
        return std::nullopt;
    }
    QFile comm(u"/proc/%1/comm"_s.arg(processID));
    if (!comm.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    const QString name = QString::fromUtf8(comm.readAll()).trimmed();
    return name.isEmpty() ? std::nullopt : std::optional(name);
}

std::optional<QString> nonEmpty(const std::optional<QString>& text) {
    return text && !text->isEmpty() ? text : std::nullopt;
}

} // namespace

std::optional<LinuxFrontmostApp::FrontWindow> LinuxFrontmostApp::frontWindow() {
    Display* display = m_connection->get();
    if (display == nullptr) {
        return std::nullopt;
    }
    const auto window = x11::frontmostWindow(display);
    if (!window) {
        return std::nullopt;
    }
    FrontWindow result;
    const auto windowClass = x11::windowClass(display, *window);
    const std::optional<QString> className =
        windowClass ? nonEmpty(windowClass->className) : std::nullopt;
    if (const auto pid = x11::cardinalProperty(display, *window, x11::atom(display, "_NET_WM_PID"))) {
        result.processID = qint32(*pid);
    }
    result.identifier =
        nonEmpty(x11::textProperty(display, *window, x11::atom(display, "_GTK_APPLICATION_ID")));
    if (!result.identifier) {
        result.identifier = className;
    }
    result.name = className ? className : processName(result.processID);
    result.title = nonEmpty(x11::textProperty(display, *window, x11::atom(display, "_NET_WM_NAME")))
                       .value_or(x11::textProperty(display, *window, XA_WM_NAME).value_or(QString()));
    return result;
}

FrontmostApp LinuxFrontmostApp::frontmostApp() {
    const auto window = frontWindow();
    if (!window) {
        return {};
    }
    return FrontmostApp{window->name, window->identifier};
}

std::optional<FocusedApplication> LinuxFrontmostApp::frontmostApplication() {
    const auto window = frontWindow();
    if (!window) {
        return std::nullopt;
    }
    return FocusedApplication{window->identifier, window->processID};
}

std::optional<QString> LinuxFrontmostApp::focusedDocumentPath(qint32 processID) {
    const auto window = frontWindow();
    if (!window || window->processID != processID) {
        return std::nullopt;
    }
    return documentFromTitle(window->title, QDir::homePath());
}

std::optional<QString> LinuxFrontmostApp::documentFromTitle(const QString& title,
                                                            const QString& home) {
    auto expand = [&](QString path) {
        path = path.trimmed();
        if (path == u"~"_s || path.startsWith(u"~/"_s)) {
            path = home + path.mid(1);
        }
        return path;
    };
    auto existingFile = [](const QString& path) -> std::optional<QString> {
        const QFileInfo info(path);
        if (info.isAbsolute() && info.isFile()) {
            return QDir::cleanPath(info.absoluteFilePath());
        }
        return std::nullopt;
    };
    // "name (folder) - Application", the form of gedit, vim and many editors; a leading "*" or
    // "●" marks unsaved changes.
    static const QRegularExpression nameInFolder(
        uR"(^[*●•]?\s*([^()/]+?)\s+\(([~/][^()]*)\))"_s);
    if (const auto match = nameInFolder.match(title); match.hasMatch()) {
        if (auto file = existingFile(expand(match.captured(2)) + u'/' + match.captured(1))) {
            return file;
        }
    }
    // Any absolute or home-relative path in the title, up to a separator.
    static const QRegularExpression path(uR"((?:^|[\s(\[:"'])((?:~|/)[^\s:"'()\[\]]*))"_s);
    for (auto it = path.globalMatch(title); it.hasNext();) {
        if (auto file = existingFile(expand(it.next().captured(1)))) {
            return file;
        }
    }
    return std::nullopt;
}

} // namespace quovant
