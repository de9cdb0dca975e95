#include "linux_x11/x11_fixture.h"

#include <QProcessEnvironment>
#include <QTemporaryFile>

#include <atomic>
#include <csignal>
#include <mutex>
#include <thread>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace quovant::testing {

struct XClient::Impl {
    Display* display = nullptr;
};

XClient::XClient() : m_impl(std::make_unique<Impl>()) {
    m_impl->display = XOpenDisplay(nullptr);
}

XClient::~XClient() {
    if (m_impl->display != nullptr) {
        XCloseDisplay(m_impl->display);
    }
}

bool XClient::connected() const { return m_impl->display != nullptr; }

void XClient::key(int keycode, bool down) {
    XTestFakeKeyEvent(m_impl->display, unsigned(keycode), down ? True : False, CurrentTime);
    XSync(m_impl->display, False);
}

std::optional<unsigned long> XClient::findWindowNamed(const QByteArray& name) {
    Display* d = m_impl->display;
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &count) == 0) {
        return std::nullopt;
    }
    std::optional<unsigned long> found;
    for (unsigned int i = 0; i < count && !found; ++i) {
        char* windowName = nullptr;
        if (XFetchName(d, children[i], &windowName) && windowName != nullptr) {
            if (name == windowName) {
                found = children[i];
            }
            XFree(windowName);
        }
    }
    if (children != nullptr) {
        XFree(children);
    }
    return found;
}

void XClient::killClientOf(unsigned long window) {
    XKillClient(m_impl->display, window);
    XSync(m_impl->display, False);
}

void XClient::setInputFocus(unsigned long window) {
    XSetInputFocus(m_impl->display, window, RevertToParent, CurrentTime);
    XSync(m_impl->display, False);
}

unsigned long XClient::clipboardOwner() {
    return XGetSelectionOwner(m_impl->display, XInternAtom(m_impl->display, "CLIPBOARD", False));
}

void XClient::clearClipboard() {
    XSetSelectionOwner(m_impl->display, XInternAtom(m_impl->display, "CLIPBOARD", False), None,
                       CurrentTime);
    XSync(m_impl->display, False);
}

unsigned long XClient::createWindow(const QByteArray& instance, const QByteArray& className,
                                   const QByteArray& applicationId, qint64 pid,
                                   const QByteArray& title, unsigned long parent) {
    Display* d = m_impl->display;
    const Window window = XCreateSimpleWindow(d, parent != 0 ? parent : DefaultRootWindow(d), 0,
                                              0, 100, 100, 0, 0, 0);
    if (!instance.isEmpty() || !className.isEmpty()) {
        const QByteArray value = instance + '\0' + className + '\0';
        XChangeProperty(d, window, XA_WM_CLASS, XA_STRING, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(value.constData()),
                        int(value.size()));
    }
    const Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
    if (!applicationId.isEmpty()) {
        XChangeProperty(d, window, XInternAtom(d, "_GTK_APPLICATION_ID", False), utf8, 8,
                        PropModeReplace,
                        reinterpret_cast<const unsigned char*>(applicationId.constData()),
                        int(applicationId.size()));
    }
    if (pid != 0) {
        const long value = long(pid);
        XChangeProperty(d, window, XInternAtom(d, "_NET_WM_PID", False), XA_CARDINAL, 32,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(&value), 1);
    }
    if (!title.isEmpty()) {
        XChangeProperty(d, window, XInternAtom(d, "_NET_WM_NAME", False), utf8, 8,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(title.constData()),
                        int(title.size()));
    }
    XMapWindow(d, window);
    XSync(d, False);
    return window;
}

void XClient::destroyWindow(unsigned long window) {
    XDestroyWindow(m_impl->display, window);
    XSync(m_impl->display, False);
}

void XClient::setActiveWindow(unsigned long window) {
    Display* d = m_impl->display;
    const Atom active = XInternAtom(d, "_NET_ACTIVE_WINDOW", False);
    if (window == 0) {
        XDeleteProperty(d, DefaultRootWindow(d), active);
    } else {
        const long value = long(window);
        XChangeProperty(d, DefaultRootWindow(d), active, XA_WINDOW, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&value), 1);
    }
    XSync(d, False);
}

// MARK: - Paste target

PasteTarget::PasteTarget(const QStringList& arguments) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.remove(QStringLiteral("QT_ACCESSIBILITY"));
    m_process.setProcessEnvironment(environment);
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    m_process.start(QStringLiteral(QUOVANT_PASTE_TARGET), arguments);
    QDeadlineTimer deadline(30000);
    while (m_windowId == 0 && !deadline.hasExpired() &&
           m_process.state() != QProcess::NotRunning) {
        pump(100);
    }
}

PasteTarget::~PasteTarget() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.write("quit\n");
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }
}

void PasteTarget::pump(int timeoutMs) {
    if (!m_process.canReadLine()) {
        m_process.waitForReadyRead(timeoutMs);
    }
    while (m_process.canReadLine()) {
        consume(m_process.readLine().trimmed());
    }
}

void PasteTarget::consume(const QByteArray& line) {
    const QList<QByteArray> words = line.split(' ');
    if (words.value(0) == "READY") {
        m_windowId = words.value(1).toULong();
    } else if (words.value(0) == "TEXT") {
        m_texts.insert(words.value(1), QString::fromUtf8(QByteArray::fromBase64(words.value(2))));
    } else if (words.value(0) == "PASTE") {
        ++m_pastes;
    }
    m_lines.append(line);
}

std::optional<QByteArray> PasteTarget::command(const QByteArray& line, const QByteArray& answer) {
    m_lines.clear();
    m_process.write(line + '\n');
    QDeadlineTimer deadline(15000);
    for (;;) {
        for (const QByteArray& received : std::as_const(m_lines)) {
            if (received.startsWith(answer)) {
                return received;
            }
        }
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning) {
            return std::nullopt;
        }
        pump(50);
    }
}

bool PasteTarget::waitForText(const QByteArray& field, const QString& expected, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (m_texts.value(field) != expected) {
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning) {
            return false;
        }
        pump(20);
        QCoreApplication::processEvents();
    }
    return true;
}

QString PasteTarget::lastText(const QByteArray& field) const { return m_texts.value(field); }

bool PasteTarget::copy(const QList<QPair<QByteArray, QByteArray>>& targets) {
    QByteArray line = "copy";
    for (const auto& [target, data] : targets) {
        line += ' ' + target + ' ' + data.toBase64();
    }
    return command(line, "COPIED").has_value();
}

QByteArray PasteTarget::errors() { return m_process.readAllStandardError(); }

// MARK: - Clipboard through another client

std::optional<QByteArray> readClipboardTarget(const QByteArray& target) {
    QProcess xclip;
    xclip.start(QStringLiteral("xclip"),
                {QStringLiteral("-selection"), QStringLiteral("clipboard"), QStringLiteral("-o"),
                 QStringLiteral("-t"), QString::fromUtf8(target)});
    // The owner is often a thread of this very process: keep the main thread responsive.
    QDeadlineTimer deadline(15000);
    while (!xclip.waitForFinished(20)) {
        QCoreApplication::processEvents();
        if (deadline.hasExpired()) {
            xclip.kill();
            xclip.waitForFinished(3000);
            return std::nullopt;
        }
    }
    if (xclip.exitStatus() != QProcess::NormalExit || xclip.exitCode() != 0) {
        return std::nullopt;
    }
    return xclip.readAllStandardOutput();
}

std::unique_ptr<PeerProcess> copyWithXclip(const QByteArray& target, const QByteArray& data) {
    static int counter = 0;
    const QString path = QStringLiteral("%1/xclip-%2-%3")
                             .arg(QString::fromUtf8(qgetenv("QUOVANT_HOME")))
                             .arg(::getpid())
                             .arg(++counter);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return nullptr;
    }
    file.write(data);
    file.close();
    auto peer = std::make_unique<PeerProcess>(
        QStringLiteral("xclip"),
        QStringList{QStringLiteral("-quiet"), QStringLiteral("-selection"),
                    QStringLiteral("clipboard"), QStringLiteral("-t"), QString::fromUtf8(target),
                    QStringLiteral("-i"), path});
    // xclip owns the clipboard once another client can read it back.
    waitUntil([&] { return readClipboardTarget(target) == data; }, 15000);
    return peer;
}

// MARK: - Clipboard manager

struct ClipboardManagerPeer::Impl {
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::atomic<bool> running{false};
    mutable std::mutex mutex;
    QHash<QByteArray, QByteArray> saved;

    Display* display = nullptr;
    Window window = 0;
    Atom clipboard = 0, manager = 0, targets = 0, saveTargets = 0, property = 0;

    std::optional<XEvent> next(int timeoutMs) {
        QDeadlineTimer deadline(timeoutMs);
        while (XPending(display) == 0) {
            if (deadline.hasExpired() || stopping) {
                return std::nullopt;
            }
            pollfd fd{ConnectionNumber(display), POLLIN, 0};
            ::poll(&fd, 1, 20);
        }
        XEvent event;
        XNextEvent(display, &event);
        return event;
    }

    std::optional<QByteArray> convert(Atom target, QList<XEvent>& deferred) {
        XConvertSelection(display, clipboard, target, property, window, CurrentTime);
        XFlush(display);
        for (;;) {
            const auto event = next(5000);
            if (!event) {
                return std::nullopt;
            }
            if (event->type == SelectionNotify && event->xselection.target == target) {
                if (event->xselection.property == 0) {
                    return std::nullopt;
                }
                Atom type = 0;
                int format = 0;
                unsigned long count = 0, remaining = 0;
                unsigned char* data = nullptr;
                XGetWindowProperty(display, window, property, 0, 1 << 24, True, AnyPropertyType,
                                   &type, &format, &count, &remaining, &data);
                const int itemBytes = format == 32 ? int(sizeof(long)) : format / 8;
                QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(count) * itemBytes);
                if (data != nullptr) {
                    XFree(data);
                }
                return bytes;
            }
            deferred.append(*event);
        }
    }

    void serve(const XSelectionRequestEvent& request) {
        XEvent reply{};
        reply.xselection.type = SelectionNotify;
        reply.xselection.requestor = request.requestor;
        reply.xselection.selection = request.selection;
        reply.xselection.target = request.target;
        reply.xselection.time = request.time;
        if (request.selection == manager && request.target == saveTargets) {
            QList<XEvent> deferred;
            QHash<QByteArray, QByteArray> copy;
            if (const auto offered = convert(targets, deferred)) {
                const auto* atoms = reinterpret_cast<const long*>(offered->constData());
                for (qsizetype i = 0; i < offered->size() / qsizetype(sizeof(long)); ++i) {
                    char* name = XGetAtomName(display, Atom(atoms[i]));
                    const QByteArray target(name);
                    XFree(name);
                    if (target == "TARGETS" || target == "TIMESTAMP" || target == "MULTIPLE") {
                        continue;
                    }
                    if (const auto data = convert(Atom(atoms[i]), deferred)) {
                        copy.insert(target, *data);
                    }
                }
            }
            {
                std::lock_guard lock(mutex);
                saved = copy;
            }
            XChangeProperty(display, request.requestor, request.property,
                            XInternAtom(display, "NULL", False), 32, PropModeReplace, nullptr, 0);
            reply.xselection.property = request.property;
            XSendEvent(display, request.requestor, False, NoEventMask, &reply);
            XSetSelectionOwner(display, clipboard, window, CurrentTime);
            XFlush(display);
            return;
        }
        if (request.selection == clipboard) {
            std::lock_guard lock(mutex);
            if (request.target == targets) {
                QList<long> atoms{long(targets)};
                for (const QByteArray& target : saved.keys()) {
                    atoms.append(long(XInternAtom(display, target.constData(), False)));
                }
                XChangeProperty(display, request.requestor, request.property, XA_ATOM, 32,
                                PropModeReplace,
                                reinterpret_cast<const unsigned char*>(atoms.constData()),
                                int(atoms.size()));
                reply.xselection.property = request.property;
            } else {
                char* name = XGetAtomName(display, request.target);
                const QByteArray target(name);
                XFree(name);
                if (saved.contains(target)) {
                    const QByteArray& data = saved[target];
                    XChangeProperty(display, request.requestor, request.property, request.target,
                                    8, PropModeReplace,
                                    reinterpret_cast<const unsigned char*>(data.constData()),
                                    int(data.size()));
                    reply.xselection.property = request.property;
                }
            }
        }
        XSendEvent(display, request.requestor, False, NoEventMask, &reply);
        XFlush(display);
    }

    void run() {
        while (!stopping) {
            if (const auto event = next(100); event && event->type == SelectionRequest) {
                serve(event->xselectionrequest);
            }
        }
    }
};

ClipboardManagerPeer::ClipboardManagerPeer() : m_impl(std::make_unique<Impl>()) {
    Impl& impl = *m_impl;
    impl.display = XOpenDisplay(nullptr);
    if (impl.display == nullptr) {
        return;
    }
    Display* d = impl.display;
    impl.window = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
    impl.clipboard = XInternAtom(d, "CLIPBOARD", False);
    impl.manager = XInternAtom(d, "CLIPBOARD_MANAGER", False);
    impl.targets = XInternAtom(d, "TARGETS", False);
    impl.saveTargets = XInternAtom(d, "SAVE_TARGETS", False);
    impl.property = XInternAtom(d, "_TEST_MANAGER_COPY", False);
    XSetSelectionOwner(d, impl.manager, impl.window, CurrentTime);
    impl.running = XGetSelectionOwner(d, impl.manager) == impl.window;
    impl.thread = std::thread([&impl] { impl.run(); });
}

ClipboardManagerPeer::~ClipboardManagerPeer() {
    m_impl->stopping = true;
    if (m_impl->thread.joinable()) {
        m_impl->thread.join();
    }
    if (m_impl->display != nullptr) {
        XCloseDisplay(m_impl->display);
    }
}

bool ClipboardManagerPeer::running() const { return m_impl->running; }

QHash<QByteArray, QByteArray> ClipboardManagerPeer::saved() const {
    std::lock_guard lock(m_impl->mutex);
    return m_impl->saved;
}

// MARK: - Suite

std::unique_ptr<XvfbServer> X11Suite::s_xvfb;

void X11Suite::SetUpTestSuite() { s_xvfb = std::make_unique<XvfbServer>(); }

void X11Suite::TearDownTestSuite() { s_xvfb.reset(); }

void X11Suite::SetUp() {
    ASSERT_TRUE(s_xvfb && s_xvfb->running()) << "Xvfb did not start";
}

} // namespace quovant::testing
