#include "support/pulse_server.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QHostAddress>
#include <QTcpServer>
#include <QThread>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quovant::testing {

namespace {

constexpr int kStartTimeoutMs = 30000;
constexpr int kPactlTimeoutMs = 30000;
constexpr int kWriteTimeoutMs = 30000;

bool writeText(const QString& path, const QByteArray& text) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

} // namespace

PulseServer::PulseServer() {
    if (!m_dir.isValid()) {
        m_failure = QStringLiteral("no temporary folder");
        return;
    }
    const QDir root(m_dir.path());
    for (const char* folder : {"runtime", "home", "config", "state"}) {
        root.mkpath(QString::fromLatin1(folder));
    }
    const QString runtime = runtimeDirectory();
    ::chmod(QFile::encodeName(runtime).constData(), 0700);
    const QString socket = runtime + QStringLiteral("/native");
    const QString clientConfig = root.filePath(QStringLiteral("client.conf"));
    // A client that finds no server must fail, not start the machine's own daemon.
    writeText(clientConfig, "autospawn = no\n");

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"PULSE_SERVER", "PULSE_SINK", "PULSE_SOURCE", "DISPLAY"}) {
        environment.remove(QString::fromLatin1(name));
    }
    environment.insert(QStringLiteral("HOME"), root.filePath(QStringLiteral("home")));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), root.filePath(QStringLiteral("config")));
    environment.insert(QStringLiteral("XDG_STATE_HOME"), root.filePath(QStringLiteral("state")));
    environment.insert(QStringLiteral("PULSE_RUNTIME_PATH"), runtime + QStringLiteral("/pulse"));
    environment.insert(QStringLiteral("PULSE_STATE_PATH"), root.filePath(QStringLiteral("state")));
    environment.insert(QStringLiteral("PULSE_CLIENTCONFIG"), clientConfig);
    // An address that cannot be reached keeps the daemon from autolaunching a bus of its own.
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                       QStringLiteral("unix:path=") + runtime + QStringLiteral("/no-bus"));

    // As root the daemon only warns; `-n` skips the default script, so only what a test loads
    // exists, and it never exits on idle.
    m_daemon = std::make_unique<PeerProcess>(
        QStringLiteral("pulseaudio"),
        QStringList{QStringLiteral("-n"), QStringLiteral("--daemonize=no"),
                    QStringLiteral("--system=no"), QStringLiteral("--exit-idle-time=-1"),
                    QStringLiteral("--disallow-exit=yes"), QStringLiteral("--use-pid-file=no"),
                    QStringLiteral("--realtime=no"), QStringLiteral("--high-priority=no"),
                    QStringLiteral("--log-target=stderr"), QStringLiteral("--log-level=error"),
                    QStringLiteral("-L"),
                    QStringLiteral("module-native-protocol-unix auth-anonymous=1 socket=") +
                        socket},
        environment);
    if (!m_daemon->started()) {
        m_failure = QStringLiteral("pulseaudio could not be started (is it installed?)");
        m_daemon.reset();
        return;
    }

    const auto setEnvironment = [this](const char* name, const QString& value) {
        std::optional<QByteArray> previous;
        if (qEnvironmentVariableIsSet(name)) {
            previous = qgetenv(name);
        }
        m_previousEnvironment.emplace_back(QByteArray(name), previous);
        qputenv(name, value.toUtf8());
    };
    const QString address = QStringLiteral("unix:") + socket;
    setEnvironment("PULSE_SERVER", address);
    setEnvironment("PULSE_RUNTIME_PATH", runtime + QStringLiteral("/pulse"));
    setEnvironment("PULSE_CLIENTCONFIG", clientConfig);
    const QString cookie = root.filePath(QStringLiteral("client-cookie"));
    writeText(cookie, QByteArray(256, 'q'));
    setEnvironment("PULSE_COOKIE", cookie);

    QDeadlineTimer deadline(kStartTimeoutMs);
    while (!deadline.hasExpired()) {
        if (QFile::exists(socket) && pactl({QStringLiteral("info")})) {
            m_address = address;
            return;
        }
        QThread::msleep(50);
    }
    m_failure = QStringLiteral("pulseaudio did not answer: ") + m_daemon->errorOutput();
    m_daemon.reset();
}

PulseServer::~PulseServer() {
    m_daemon.reset();
    for (auto it = m_previousEnvironment.rbegin(); it != m_previousEnvironment.rend(); ++it) {
        if (it->second) {
            qputenv(it->first.constData(), *it->second);
        } else {
            qunsetenv(it->first.constData());
        }
    }
}

QString PulseServer::runtimeDirectory() const { return m_dir.filePath(QStringLiteral("runtime")); }

std::optional<QString> PulseServer::pactl(const QStringList& arguments) const {
    if (!m_daemon) {
        return std::nullopt;
    }
    QProcess process;
    process.start(QStringLiteral("pactl"), arguments);
    if (!process.waitForFinished(kPactlTimeoutMs)) {
        process.kill();
        process.waitForFinished(3000);
        return std::nullopt;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        return std::nullopt;
    }
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

std::optional<int> PulseServer::loadModule(const QString& name,
                                           const QStringList& arguments) const {
    const auto output = pactl(QStringList{QStringLiteral("load-module"), name} + arguments);
    bool ok = false;
    const int index = output ? output->toInt(&ok) : -1;
    return ok ? std::optional<int>(index) : std::nullopt;
}

bool PulseServer::unloadModule(int module) const {
    return pactl({QStringLiteral("unload-module"), QString::number(module)}).has_value();
}

std::optional<PulseServer::PipeSource> PulseServer::loadPipeSource(const QString& name,
                                                                   int rate) const {
    PipeSource pipe;
    pipe.source = name;
    pipe.rate = rate;
    pipe.fifo = m_dir.filePath(name + QStringLiteral(".fifo"));
    const auto module = loadModule(
        QStringLiteral("module-pipe-source"),
        {QStringLiteral("source_name=") + name, QStringLiteral("file=") + pipe.fifo,
         QStringLiteral("format=float32le"), QStringLiteral("rate=") + QString::number(rate),
         QStringLiteral("channels=1")});
    if (!module) {
        return std::nullopt;
    }
    pipe.module = *module;
    return pipe;
}

std::optional<int> PulseServer::loadNullSink(const QString& name) const {
    return loadModule(QStringLiteral("module-null-sink"),
                      {QStringLiteral("sink_name=") + name, QStringLiteral("rate=48000"),
                       QStringLiteral("channels=1")});
}

std::optional<int> PulseServer::loadSineSource(const QString& name, int rate,
                                               int frequency) const {
    return loadModule(QStringLiteral("module-sine-source"),
                      {QStringLiteral("source_name=") + name,
                       QStringLiteral("rate=") + QString::number(rate),
                       QStringLiteral("frequency=") + QString::number(frequency)});
}

std::optional<QString> PulseServer::loadRefusingListener() const {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0)) {
        return std::nullopt;
    }
    const QString port = QString::number(probe.serverPort());
    probe.close();
    const auto module = loadModule(
        QStringLiteral("module-native-protocol-tcp"),
        {QStringLiteral("listen=127.0.0.1"), QStringLiteral("port=") + port,
         QStringLiteral("auth-anonymous=0"), QStringLiteral("auth-cookie-enabled=1"),
         QStringLiteral("auth-ip-acl=")});
    if (!module) {
        return std::nullopt;
    }
    return QStringLiteral("tcp:127.0.0.1:") + port;
}

bool PulseServer::setDefaultSource(const QString& source) const {
    return pactl({QStringLiteral("set-default-source"), source}).has_value();
}

PipeSourceWriter::PipeSourceWriter(const QString& fifo) {
    // A source unloaded under a writer must fail the write, not kill the test.
    ::signal(SIGPIPE, SIG_IGN);
    m_fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
}

PipeSourceWriter::~PipeSourceWriter() { close(); }

bool PipeSourceWriter::writeBytes(const char* data, std::size_t size) {
    // A reader that stops reading (a suspended source) fails the write after a while instead of
    // hanging the test.
    QDeadlineTimer deadline(kWriteTimeoutMs);
    while (size > 0) {
        pollfd ready{m_fd, POLLOUT, 0};
        if (::poll(&ready, 1, 100) == 0) {
            if (deadline.hasExpired()) {
                return false;
            }
            continue;
        }
        const ssize_t written = ::write(m_fd, data, size);
        if (written < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return false;
        }
        deadline.setRemainingTime(kWriteTimeoutMs);
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool PipeSourceWriter::write(std::span<const float> samples) {
    if (!m_repeating) {
        waitUntilPlayed(600000);
    }
    stopPlaying();
    if (m_fd < 0) {
        return false;
    }
    const bool ok = writeBytes(reinterpret_cast<const char*>(samples.data()), samples.size_bytes());
    if (ok) {
        m_written += static_cast<std::int64_t>(samples.size());
    }
    return ok;
}

void PipeSourceWriter::play(std::vector<float> samples, int rate, bool repeat) {
    if (!m_repeating) {
        waitUntilPlayed(600000);
    }
    stopPlaying();
    if (m_fd < 0 || rate <= 0 || samples.empty()) {
        return;
    }
    m_repeating = repeat;
    {
        std::lock_guard lock(m_lock);
        m_playing = true;
    }
    m_stop = false;
    const std::size_t piece =
        std::max<std::size_t>(1, static_cast<std::size_t>(rate) * std::size_t(m_pieceMs) / 1000);
    m_player = std::thread([this, samples = std::move(samples), rate, piece] {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point begin = Clock::now();
        std::int64_t played = 0;
        bool failed = false;
        do {
            for (std::size_t at = 0; at < samples.size() && !m_stop && !failed; at += piece) {
                // Paced against the start, so a late wake-up does not slow the stream down.
                std::this_thread::sleep_until(
                    begin + std::chrono::microseconds(played * 1000000 / rate));
                const std::size_t count = std::min(piece, samples.size() - at);
                failed = !writeBytes(reinterpret_cast<const char*>(samples.data() + at),
                                     count * sizeof(float));
                if (!failed) {
                    played += static_cast<std::int64_t>(count);
                    m_written += static_cast<std::int64_t>(count);
                }
            }
        } while (m_repeating && !m_stop && !failed);
        std::lock_guard lock(m_lock);
        m_playing = false;
        m_played.notify_all();
    });
}

bool PipeSourceWriter::waitUntilPlayed(int timeoutMs) {
    std::unique_lock lock(m_lock);
    return m_played.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [this] { return !m_playing; });
}

void PipeSourceWriter::stopPlaying() {
    m_stop = true;
    if (m_player.joinable()) {
        m_player.join();
    }
    m_repeating = false;
}

void PipeSourceWriter::close() {
    stopPlaying();
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

} // namespace quovant::testing
