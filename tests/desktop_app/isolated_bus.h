#pragma once

#include "support/desktop_peers.h"

#include <QDBusConnection>
#include <QFile>
#include <QTemporaryDir>

#include <memory>
#include <optional>

namespace quovant::testing {

// A session bus that starts no service on demand: unlike a bus with the machine's standard
// service folders, asking it for an absent name (the accessibility bus launcher, dconf, a
// notification daemon) fails instead of starting the machine's own program, which could write
// to the real home. While it lives, DBUS_SESSION_BUS_ADDRESS names it for child processes.
class IsolatedBus {
public:
    IsolatedBus() {
        const QString config = m_dir.filePath(QStringLiteral("bus.conf"));
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly)) {
            return;
        }
        file.write("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\""
                   " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                   "<busconfig><type>session</type><listen>unix:dir=");
        file.write(QFile::encodeName(m_dir.path()));
        file.write("</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                   "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                   "<allow own=\"*\"/></policy></busconfig>\n");
        file.close();
        m_process = std::make_unique<PeerProcess>(
            QStringLiteral("dbus-daemon"),
            QStringList{QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                        QStringLiteral("--print-address=1")});
        if (const auto address = m_process->readFirstLine(15000); address && !address->isEmpty()) {
            m_address = *address;
            if (qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS")) {
                m_previous = qgetenv("DBUS_SESSION_BUS_ADDRESS");
            }
            qputenv("DBUS_SESSION_BUS_ADDRESS", m_address.toUtf8());
        }
    }
    ~IsolatedBus() {
        if (running()) {
            m_previous ? qputenv("DBUS_SESSION_BUS_ADDRESS", *m_previous)
                       : qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        }
    }
    IsolatedBus(const IsolatedBus&) = delete;
    IsolatedBus& operator=(const IsolatedBus&) = delete;

    bool running() const { return !m_address.isEmpty(); }
    QString address() const { return m_address; }
    // A connection of this test's own (the process-wide session connection is made once and
    // would keep talking to whichever bus it found first). Named after this bus too, since Qt
    // hands back an existing connection of the same name, even one to a bus that has gone.
    QDBusConnection connect(const QString& name) const {
        return QDBusConnection::connectToBus(m_address, name + u'@' + m_address);
    }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<PeerProcess> m_process;
    QString m_address;
    std::optional<QByteArray> m_previous;
};

} // namespace quovant::testing
