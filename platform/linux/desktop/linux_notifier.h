#pragma once

#include "core/ports/user_notifier.h"

#include <QDBusConnection>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

namespace quovant {

// Tells the user about a problem: a "WARN" log line "[title] body", then, on the main thread,
// the shell's own presenter (the overlay's flash) and a desktop notification over
// `org.freedesktop.Notifications`. Without a notification daemon the message reaches the
// presenter and the log only. `notify` may be called from any thread; construct and destroy on
// the main thread. Messages still queued when the notifier goes are dropped.
class LinuxNotifier final : public UserNotifier {
public:
    explicit LinuxNotifier(QDBusConnection bus = QDBusConnection::sessionBus());
    ~LinuxNotifier() override;

    // Shows the message in the application's own interface; runs on the main thread.
    std::function<void(const QString& title, const QString& body)> present;

    void notify(const QString& title, const QString& body) override;

    // Called on the main thread after each desktop notification request is answered: the
    // daemon's id, or 0 when there is no daemon or it refused. For tests and diagnostics.
    std::function<void(uint id)> onDesktopNotificationAnswered;

private:
    void deliver(const QString& title, const QString& body);

    QDBusConnection m_bus;
    // Lives on the main thread; queued deliveries die with it.
    std::unique_ptr<QObject> m_context;
};

} // namespace quovant
