#include <QSet>

#include <mutex>

#include "platform/linux/x11/x11_support.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

namespace quovant::x11 {

namespace {

std::mutex g_lostMutex;
QSet<Display*> g_lost;

thread_local int t_trapDepth = 0;
thread_local int t_firstError = 0;

int recordError(Display*, XErrorEvent* event) {
    if (t_trapDepth > 0 && t_firstError == 0) {
        t_firstError = event->error_code;
    }
    return 0;
}

void markLost(Display* display, void*) {
    std::lock_guard lock(g_lostMutex);
    g_lost.insert(display);
}

int ignoreIOError(Display*) { return 0; }

} // namespace

void DisplayCloser::operator()(Display* display) const {
    {
        std::lock_guard lock(g_lostMutex);
        g_lost.remove(display);
    }
    XCloseDisplay(display);
}

DisplayHandle openDisplay() {
    static std::once_flag once;
    std::call_once(once, [] { XInitThreads(); });
    // The toolkit may install its own handlers after us; ours go in before every connection.
    XSetErrorHandler(recordError);
    XSetIOErrorHandler(ignoreIOError);
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        return {};
    }
    XSetIOErrorExitHandler(display, markLost, nullptr);
    return DisplayHandle(display);
}

bool isLost(Display* display) {
    std::lock_guard lock(g_lostMutex);
    return g_lost.contains(display);
}

ErrorTrap::ErrorTrap(Display* display) : m_display(display), m_previous(t_firstError) {
    XSetErrorHandler(recordError);
    ++t_trapDepth;
    t_firstError = 0;
}

ErrorTrap::~ErrorTrap() {
    if (!isLost(m_display)) {
        XSync(m_display, False);
    }
    --t_trapDepth;
    t_firstError = m_previous;
}

int ErrorTrap::sync() {
    if (isLost(m_display)) {
        return BadImplementation;
    }
    XSync(m_display, False);
    return t_firstError;
}

Atom atom(Display* display, const char* name) { return XInternAtom(display, name, False); }

QByteArray atomName(Display* display, Atom value) {
    if (value == None) {
        return {};
    }
    ErrorTrap trap(display);
    char* name = XGetAtomName(display, value);
    if (name == nullptr) {
        return {};
    }
    QByteArray result(name);
    XFree(name);
    return result;
}

std::optional<Property> readProperty(Display* display, Window window, Atom property,
                                     bool deleteAfter) {
    ErrorTrap trap(display);
    Property result;
    long offset = 0;
    for (;;) {
        Atom type = None;
        int format = 0;
        unsigned long count = 0;
        unsigned long remaining = 0;
        unsigned char* data = nullptr;
        // Ask for at most 4 MiB at a time; the server answers in pieces of any size.
        const int status = XGetWindowProperty(display, window, property, offset, 1L << 20,
                                              False, AnyPropertyType, &type, &format, &count,
                                              &remaining, &data);
        if (status != Success || type == None) {
            if (data != nullptr) {
                XFree(data);
            }
            if (offset == 0) {
                return std::nullopt;
            }
            break;
        }
        const int itemBytes = format == 32 ? int(sizeof(long)) : format / 8;
        result.type = type;
        result.format = format;
        result.data.append(reinterpret_cast<const char*>(data),
                           qsizetype(count) * qsizetype(itemBytes));
        XFree(data);
        // Offsets count 32-bit units of the wire form.
        offset += long(count) * (format / 8) / 4;
        if (remaining == 0) {
            break;
        }
    }
    if (deleteAfter) {
        XDeleteProperty(display, window, property);
    }
    return result;
}

QByteArray packLongs(const QByteArray& longs) {
    QByteArray wire;
    const auto* items = reinterpret_cast<const long*>(longs.constData());
    const qsizetype count = longs.size() / qsizetype(sizeof(long));
    wire.reserve(count * 4);
    for (qsizetype i = 0; i < count; ++i) {
        const quint32 value = quint32(items[i]);
        wire.append(reinterpret_cast<const char*>(&value), 4);
    }
    return wire;
}

QByteArray unpackLongs(const QByteArray& wire) {
    QByteArray longs;
    const qsizetype count = wire.size() / 4;
    longs.reserve(count * qsizetype(sizeof(long)));
    for (qsizetype i = 0; i < count; ++i) {
        quint32 value = 0;
        memcpy(&value, wire.constData() + i * 4, 4);
        const long item = long(value);
        longs.append(reinterpret_cast<const char*>(&item), sizeof(long));
    }
    return longs;
}

std::optional<Window> windowProperty(Display* display, Window window, Atom property) {
    const auto value = readProperty(display, window, property);
    if (!value || value->format != 32 || value->data.size() < qsizetype(sizeof(long))) {
        return std::nullopt;
    }
    const Window result = Window(*reinterpret_cast<const unsigned long*>(value->data.constData()));
    if (result == None) {
        return std::nullopt;
    }
    return result;
}

std::optional<qint64> cardinalProperty(Display* display, Window window, Atom property) {
    const auto value = readProperty(display, window, property);
    if (!value || value->format != 32 || value->data.size() < qsizetype(sizeof(long))) {
        return std::nullopt;
    }
    return qint64(*reinterpret_cast<const unsigned long*>(value->data.constData()));
}

std::optional<QString> textProperty(Display* display, Window window, Atom property) {
    const auto value = readProperty(display, window, property);
    if (!value || value->format != 8) {
        return std::nullopt;
    }
    if (value->type == XA_STRING) {
        return QString::fromLatin1(value->data);
    }
    return QString::fromUtf8(value->data);
}

std::optional<WindowClass> windowClass(Display* display, Window window) {
    const auto value = readProperty(display, window, XA_WM_CLASS);
    if (!value || value->format != 8 || value->data.isEmpty()) {
        return std::nullopt;
    }
    // Two NUL-terminated strings: instance, then class.
    const QList<QByteArray> parts = value->data.split('\0');
    WindowClass result;
    result.instance = QString::fromLocal8Bit(parts.value(0));
    result.className = QString::fromLocal8Bit(parts.value(1));
    if (result.instance.isEmpty() && result.className.isEmpty()) {
        return std::nullopt;
    }
    return result;
}

std::optional<Window> frontmostWindow(Display* display) {
    const Window root = DefaultRootWindow(display);
    if (const auto active = windowProperty(display, root, atom(display, "_NET_ACTIVE_WINDOW"))) {
        return active;
    }
    Window focus = None;
    int revert = 0;
    {
        ErrorTrap trap(display);
        XGetInputFocus(display, &focus, &revert);
    }
    // PointerRoot (1) and None mean no window has the focus.
    for (int depth = 0; focus != None && focus != PointerRoot && focus != root && depth < 64;
         ++depth) {
        if (windowClass(display, focus)) {
            return focus;
        }
        Window rootReturn = None;
        Window parent = None;
        Window* children = nullptr;
        unsigned int count = 0;
        ErrorTrap trap(display);
        if (XQueryTree(display, focus, &rootReturn, &parent, &children, &count) == 0) {
            return std::nullopt;
        }
        if (children != nullptr) {
            XFree(children);
        }
        focus = parent;
    }
    return std::nullopt;
}

} // namespace quovant::x11
