#pragma once

#include <QDBusConnection>
#include <QString>

namespace quovant {

// The session's accessibility bus (AT-SPI), which Edit in Place needs to read the selection and
// which tells a password field from other text. "Enabled" is the `IsEnabled` property of
// `org.a11y.Status` on the bus daemon's `org.a11y.Bus` service. Calls block for at most
// `kTimeoutMs`; use from the thread that owns the connection.
class AccessibilityBus {
public:
    static constexpr int kTimeoutMs = 500;

    explicit AccessibilityBus(QDBusConnection bus = QDBusConnection::sessionBus());

    // False when the property is false, the service is missing or the bus does not answer.
    bool isEnabled() const;

    struct EnableResult {
        bool enabled = false;
        // Empty when enabled; otherwise what went wrong and how to turn it on by hand.
        QString message;
    };
    // Sets `IsEnabled` and, on a GNOME desktop, the `toolkit-accessibility` setting, then reads
    // the property back. Programs already running may need a restart to notice.
    EnableResult enable();

    // How to turn the accessibility bus on by hand, for the first-run window and notices.
    static QString manualInstructions();

private:
    QDBusConnection m_bus;
};

} // namespace quovant
