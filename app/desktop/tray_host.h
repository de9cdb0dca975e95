#pragma once

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>

class QDBusServiceWatcher;

namespace quovant {

// Tells when the desktop can show a tray icon. A panel may start after the application (at
// login, or when it restarts), so this keeps watching for the status-notifier host on the
// session bus, and for an XEmbed tray on the X display, instead of deciding once. Main thread.
class TrayHost final : public QObject {
public:
    explicit TrayHost(QObject* parent = nullptr);
    ~TrayHost() override;

    // Called once, as soon as a tray is there (possibly from within `start`).
    std::function<void()> onAvailable;
    void start();

    static bool statusNotifierHostRegistered();
    static bool xembedTrayPresent();

private:
    void announce();

    std::unique_ptr<QDBusServiceWatcher> m_watcher;
    QTimer m_xembedPoll;
    bool m_announced = false;
};

} // namespace quovant
