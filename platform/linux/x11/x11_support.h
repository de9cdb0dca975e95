#pragma once

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

// Internal to the X11 layer: include after every Qt and standard header, since Xlib defines
// macros (None, Bool, Status) that clash with them.
#include <X11/Xlib.h>

namespace quovant::x11 {

struct DisplayCloser {
    void operator()(Display* display) const;
};
using DisplayHandle = std::unique_ptr<Display, DisplayCloser>;

// A connection to $DISPLAY that never ends the process: protocol errors are recorded for the
// calling thread (see ErrorTrap) and a broken connection only marks the display as lost. Each
// connection belongs to one thread.
DisplayHandle openDisplay();
// True once the connection broke; the display must not be used any more, only closed.
bool isLost(Display* display);

// Collects the protocol errors that requests made on this thread cause while it lives.
class ErrorTrap {
public:
    explicit ErrorTrap(Display* display);
    ~ErrorTrap();
    ErrorTrap(const ErrorTrap&) = delete;
    ErrorTrap& operator=(const ErrorTrap&) = delete;
    // Waits for the server to answer everything sent so far; the first error code, or 0.
    int sync();

private:
    Display* m_display;
    int m_previous;
};

Atom atom(Display* display, const char* name);
QByteArray atomName(Display* display, Atom atom);

struct Property {
    Atom type = None;
    int format = 0;
    // Items as the server sends them: for format 32, each item is a C long in memory.
    QByteArray data;
};
// The whole property, read in pieces of any size; absent when the window or property is missing.
std::optional<Property> readProperty(Display* display, Window window, Atom property,
                                     bool deleteAfter = false);
// The bytes that format 32 data takes on the wire (each long becomes 32 bits) and back.
QByteArray packLongs(const QByteArray& longs);
QByteArray unpackLongs(const QByteArray& wire);

std::optional<Window> windowProperty(Display* display, Window window, Atom property);
std::optional<qint64> cardinalProperty(Display* display, Window window, Atom property);
std::optional<QString> textProperty(Display* display, Window window, Atom property);

struct WindowClass {
    QString instance;
    QString className;
};
std::optional<WindowClass> windowClass(Display* display, Window window);

// The application window in front: `_NET_ACTIVE_WINDOW` when a window manager publishes it, else
// the focused window or the nearest ancestor of it that names its class.
std::optional<Window> frontmostWindow(Display* display);

} // namespace quovant::x11
