#include "app/desktop/tray_host.h"

#include "settings/log.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>

// Xlib's macros clash with Qt's names, so it comes last.
#include <X11/Xlib.h>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

const QString kWatcher = u"org.kde.StatusNotifierWatcher"_s;

} // namespace

TrayHost::TrayHost(QObject* parent) : QObject(parent) {}

TrayHost::~TrayHost() = default;

bool TrayHost::statusNotifierHostRegistered() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.isConnected() && bus.interface() &&
           bus.interface()->isServiceRegistered(kWatcher).value();
}

bool TrayHost::xembedTrayPresent() {
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        return false;
    }
    const QByteArray selection = "_NET_SYSTEM_TRAY_S" + QByteArray::number(DefaultScreen(display));
    const Atom atom = XInternAtom(display, selection.constData(), False);
    const bool owned = XGetSelectionOwner(display, atom) != 0;
    XCloseDisplay(display);
    return owned;
}

void TrayHost::start() {
    // Asking Qt whether a tray exists would fix its choice of tray protocol for the rest of the
    // process, so the two kinds of host are looked for here.
    if (statusNotifierHostRegistered()) {
        announce();
        return;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        m_watcher = std::make_unique<QDBusServiceWatcher>(
            kWatcher, bus, QDBusServiceWatcher::WatchForRegistration);
        connect(m_watcher.get(), &QDBusServiceWatcher::serviceRegistered, this,
                [this] { announce(); });
    }
    // An XEmbed tray only counts when no status-notifier host turns up soon after it, since Qt
    // prefers the latter.
    m_xembedPoll.setInterval(3000);
    connect(&m_xembedPoll, &QTimer::timeout, this, [this] {
        if (xembedTrayPresent()) {
            announce();
        }
    });
    m_xembedPoll.start();
    Log::info(u"Waiting for the desktop's tray to show the status icon."_s);
}

void TrayHost::announce() {
    if (m_announced) {
        return;
    }
    m_announced = true;
    m_xembedPoll.stop();
    // The watcher may be the sender of the signal being handled.
    if (m_watcher) {
        m_watcher.release()->deleteLater();
    }
    if (onAvailable) {
        onAvailable();
    }
}

} // namespace quovant
