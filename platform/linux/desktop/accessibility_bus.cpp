#include "platform/linux/desktop/accessibility_bus.h"

#include <QDBusMessage>
#include <QDBusVariant>
#include <QProcess>
#include <QStandardPaths>

using namespace Qt::StringLiterals;

namespace quovant {

namespace {

const QString kService = u"org.a11y.Bus"_s;
const QString kPath = u"/org/a11y/bus"_s;
const QString kStatusInterface = u"org.a11y.Status"_s;
const QString kPropertiesInterface = u"org.freedesktop.DBus.Properties"_s;

bool isGnomeDesktop() {
    const QString desktops = qEnvironmentVariable("XDG_CURRENT_DESKTOP");
    for (const QString& name : desktops.split(u':', Qt::SkipEmptyParts)) {
        if (name.compare(u"GNOME"_s, Qt::CaseInsensitive) == 0 || name.endsWith(u"GNOME"_s)) {
            return true;
        }
    }
    return false;
}

} // namespace

AccessibilityBus::AccessibilityBus(QDBusConnection bus) : m_bus(std::move(bus)) {}

bool AccessibilityBus::isEnabled() const {
    if (!m_bus.isConnected()) {
        return false;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kPropertiesInterface, u"Get"_s);
    call << kStatusInterface << u"IsEnabled"_s;
    const QDBusMessage reply = m_bus.call(call, QDBus::Block, kTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        return false;
    }
    return reply.arguments().constFirst().value<QDBusVariant>().variant().toBool();
}

AccessibilityBus::EnableResult AccessibilityBus::enable() {
    if (isEnabled()) {
        return {true, {}};
    }
    QString failure;
    if (!m_bus.isConnected()) {
        failure = u"There is no session bus."_s;
    } else {
        QDBusMessage call =
            QDBusMessage::createMethodCall(kService, kPath, kPropertiesInterface, u"Set"_s);
        call << kStatusInterface << u"IsEnabled"_s
             << QVariant::fromValue(QDBusVariant(QVariant(true)));
        const QDBusMessage reply = m_bus.call(call, QDBus::Block, kTimeoutMs);
        if (reply.type() == QDBusMessage::ErrorMessage) {
            failure = reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
        }
    }
    // GNOME keeps its own switch, which its bus launcher reads at the next login.
    if (isGnomeDesktop()) {
        const QString gsettings = QStandardPaths::findExecutable(u"gsettings"_s);
        if (!gsettings.isEmpty()) {
            QProcess::execute(gsettings, {u"set"_s, u"org.gnome.desktop.interface"_s,
                                          u"toolkit-accessibility"_s, u"true"_s});
        }
    }
    if (isEnabled()) {
        return {true, {}};
    }
    QString message = u"Quovant could not turn on the accessibility bus"_s;
    message += failure.isEmpty() ? u"."_s : u": "_s + failure;
    message += u' ' + manualInstructions();
    return {false, message};
}

QString AccessibilityBus::manualInstructions() {
    return u"Turn on assistive technologies in your desktop's accessibility settings (on GNOME: "
           "gsettings set org.gnome.desktop.interface toolkit-accessibility true), then log out "
           "and back in. Qt programs also need QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 in their "
           "environment."_s;
}

} // namespace quovant
