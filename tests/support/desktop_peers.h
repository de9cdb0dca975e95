#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <optional>

namespace quovant::testing {

// A helper program that a desktop test needs for its lifetime (a display server, a bus, a sound
// server). It is killed when the object goes, and also when the test process dies, so nothing
// is ever left running.
class PeerProcess {
public:
    PeerProcess(const QString& program, const QStringList& arguments,
                const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment());
    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    bool started() const { return m_started; }
    // The first line the program prints on standard output, waited for up to `timeoutMs`.
    std::optional<QString> readFirstLine(int timeoutMs);
    qint64 processId() const { return m_process.processId(); }
    QString errorOutput();
    void stop();

private:
    QProcess m_process;
    bool m_started = false;
};

// Xvfb on a display number it picks itself (XInput 2 and XTest are built in), 1280×800×24.
// While it lives, DISPLAY names it in this process's environment; the previous value comes back.
class XvfbServer {
public:
    XvfbServer();
    ~XvfbServer();
    bool running() const { return !m_display.isEmpty(); }
    QString display() const { return m_display; }

private:
    std::unique_ptr<PeerProcess> m_process;
    QString m_display;
    std::optional<QByteArray> m_previousDisplay;
};

// A private session bus that starts no service on demand: asking it for an absent name (a
// notification daemon, dconf, a portal) fails instead of starting the machine's own program,
// which could write to the real home. While it lives, DBUS_SESSION_BUS_ADDRESS names it in this
// process's environment; the previous value comes back. Tests connect to it by address, under a
// name that includes the address: the process-wide session connection is made once, and Qt hands
// back an existing connection of the same name even when its bus has gone.
class SessionBus {
public:
    SessionBus();
    ~SessionBus();
    bool running() const { return !m_address.isEmpty(); }
    QString address() const { return m_address; }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<PeerProcess> m_process;
    QString m_address;
    std::optional<QByteArray> m_previousAddress;
};

} // namespace quovant::testing
