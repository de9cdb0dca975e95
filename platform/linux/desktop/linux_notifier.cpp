#include "platform/linux/desktop/linux_notifier.h"

#include "settings/log.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

using namespace Qt::StringLiterals;

namespace quovant {

LinuxNotifier::LinuxNotifier(QDBusConnection bus)
    : m_bus(std::move(bus)), m_context(std::make_unique<QObject>()) {}

LinuxNotifier::~LinuxNotifier() = default;

void LinuxNotifier::notify(const QString& title, const QString& body) {
    Log::warn(u'[' + title + u"] "_s + body);
    QMetaObject::invokeMethod(
        m_context.get(), [this, title, body] { deliver(title, body); }, Qt::QueuedConnection);
}

void LinuxNotifier::deliver(const QString& title, const QString& body) {
    if (present) {
        present(title, body);
    }
    if (!m_bus.isConnected()) {
        if (onDesktopNotificationAnswered) {
            onDesktopNotificationAnswered(0);
        }
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        u"org.freedesktop.Notifications"_s, u"/org/freedesktop/Notifications"_s,
        u"org.freedesktop.Notifications"_s, u"Notify"_s);
    QVariantMap hints;
    hints.insert(u"desktop-entry"_s, u"quovant"_s);
    hints.insert(u"urgency"_s, QVariant::fromValue(uchar(1)));
    call << u"Quovant"_s << uint(0) << u"quovant"_s << title << body << QStringList() << hints
         << int(-1);
    // Never waits: a missing or slow daemon must not hold up the main thread.
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), m_context.get());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, m_context.get(),
                     [this](QDBusPendingCallWatcher* finished) {
                         finished->deleteLater();
                         const QDBusPendingReply<uint> reply = *finished;
                         if (onDesktopNotificationAnswered) {
                             onDesktopNotificationAnswered(reply.isValid() ? reply.value() : 0);
                         }
                     });
}

} // namespace quovant
