#include "support/accessibility_bus.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <QThread>

namespace quovant::testing {

namespace {

QString busCall(const QProcessEnvironment& environment, const QStringList& arguments) {
    QProcess call;
    call.setProcessEnvironment(environment);
    call.start(QStringLiteral("dbus-send"),
               QStringList{QStringLiteral("--session"), QStringLiteral("--print-reply"),
                           QStringLiteral("--reply-timeout=5000"),
                           QStringLiteral("--dest=org.a11y.Bus"), QStringLiteral("/org/a11y/bus")} +
                   arguments);
    if (!call.waitForFinished(15000) || call.exitCode() != 0) {
        call.kill();
        call.waitForFinished(1000);
        return {};
    }
    return QString::fromUtf8(call.readAllStandardOutput());
}

} // namespace

AccessibilityBus::AccessibilityBus() {
    if (!m_session.running() || !m_home.isValid()) {
        return;
    }
    QDir(m_home.path()).mkpath(QStringLiteral("runtime"));
    QFile::setPermissions(m_home.filePath(QStringLiteral("runtime")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    m_launcher = std::make_unique<PeerProcess>(
        QStringLiteral("/usr/libexec/at-spi-bus-launcher"),
        QStringList{QStringLiteral("--launch-immediately"), QStringLiteral("--a11y=1")},
        environment());
    // The launcher owns org.a11y.Bus once its bus daemon is up.
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired() && m_launcher->started()) {
        if (busCall(environment(), {QStringLiteral("org.a11y.Bus.GetAddress")})
                .contains(QStringLiteral("unix:"))) {
            m_ready = true;
            break;
        }
        QThread::msleep(50);
    }
}

AccessibilityBus::~AccessibilityBus() = default;

bool AccessibilityBus::running() const {
    return m_ready;
}

bool AccessibilityBus::setEnabled(bool enabled) {
    return !busCall(environment(),
                    {QStringLiteral("org.freedesktop.DBus.Properties.Set"),
                     QStringLiteral("string:org.a11y.Status"), QStringLiteral("string:IsEnabled"),
                     enabled ? QStringLiteral("variant:boolean:true")
                             : QStringLiteral("variant:boolean:false")})
                .isNull();
}

QProcessEnvironment AccessibilityBus::environment() const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_session.address());
    environment.insert(QStringLiteral("HOME"), m_home.path());
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"),
                       m_home.filePath(QStringLiteral("runtime")));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"),
                       m_home.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), m_home.filePath(QStringLiteral("data")));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), m_home.filePath(QStringLiteral("cache")));
    // Settings live in memory, never in the user's own settings database.
    environment.insert(QStringLiteral("GSETTINGS_BACKEND"), QStringLiteral("memory"));
    environment.insert(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"), QStringLiteral("1"));
    environment.remove(QStringLiteral("NO_AT_BRIDGE"));
    environment.remove(QStringLiteral("GTK_A11Y"));
    environment.remove(QStringLiteral("AT_SPI_BUS_ADDRESS"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    return environment;
}

} // namespace quovant::testing
