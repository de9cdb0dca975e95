#include "support/desktop_peers.h"

#include <QDeadlineTimer>
#include <QFile>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace quovant::testing {

namespace {

std::optional<QByteArray> replaceEnvironment(const char* name, const QString& value) {
    std::optional<QByteArray> previous;
    if (qEnvironmentVariableIsSet(name)) {
        previous = qgetenv(name);
    }
    qputenv(name, value.toUtf8());
    return previous;
}

void restoreEnvironment(const char* name, const std::optional<QByteArray>& previous) {
    if (previous) {
        qputenv(name, *previous);
    } else {
        qunsetenv(name);
    }
}

} // namespace

PeerProcess::PeerProcess(const QString& program, const QStringList& arguments,
                         const QProcessEnvironment& environment) {
    m_process.setProcessEnvironment(environment);
    m_process.setChildProcessModifier([] {
        // The peer dies with the test process, even when the test crashes.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::setpgid(0, 0);
    });
    m_process.start(program, arguments);
    m_started = m_process.waitForStarted(10000);
}

PeerProcess::~PeerProcess() { stop(); }

void PeerProcess::stop() {
    if (m_process.state() == QProcess::NotRunning) {
        return;
    }
    const qint64 pid = m_process.processId();
    if (pid > 0) {
        ::kill(-static_cast<pid_t>(pid), SIGTERM);
    }
    if (!m_process.waitForFinished(3000)) {
        if (pid > 0) {
            ::kill(-static_cast<pid_t>(pid), SIGKILL);
        }
        m_process.waitForFinished(3000);
    }
}

std::optional<QString> PeerProcess::readFirstLine(int timeoutMs) {
    if (!m_started) {
        return std::nullopt;
    }
    QDeadlineTimer deadline(timeoutMs);
    while (!m_process.canReadLine()) {
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning) {
            return std::nullopt;
        }
        m_process.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
    }
    return QString::fromUtf8(m_process.readLine()).trimmed();
}

QString PeerProcess::errorOutput() { return QString::fromUtf8(m_process.readAllStandardError()); }

XvfbServer::XvfbServer() {
    m_process = std::make_unique<PeerProcess>(
        QStringLiteral("Xvfb"),
        QStringList{QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                    QStringLiteral("0"), QStringLiteral("1280x800x24"), QStringLiteral("-nolisten"),
                    QStringLiteral("tcp"), QStringLiteral("-noreset")});
    if (const auto number = m_process->readFirstLine(15000); number && !number->isEmpty()) {
        m_display = QStringLiteral(":") + *number;
        m_previousDisplay = replaceEnvironment("DISPLAY", m_display);
    }
}

XvfbServer::~XvfbServer() {
    if (running()) {
        restoreEnvironment("DISPLAY", m_previousDisplay);
    }
}

SessionBus::SessionBus() {
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
    if (const auto address = m_process->readFirstLine(10000); address && !address->isEmpty()) {
        m_address = *address;
        m_previousAddress = replaceEnvironment("DBUS_SESSION_BUS_ADDRESS", m_address);
    }
}

SessionBus::~SessionBus() {
    if (running()) {
        restoreEnvironment("DBUS_SESSION_BUS_ADDRESS", m_previousAddress);
    }
}

} // namespace quovant::testing
