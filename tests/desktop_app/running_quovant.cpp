#include "desktop_app/running_quovant.h"

#include "speech/wav_decoder.h"
#include "support/test_support.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QThread>

#include <csignal>
#include <random>
#include <sys/prctl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace quovant::testing {

LineProcess::~LineProcess() { stop(3000); }

bool LineProcess::start(const QString& program, const QStringList& arguments,
                        const QProcessEnvironment& environment) {
    m_process.setProcessEnvironment(environment);
    m_process.setChildProcessModifier([] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::setpgid(0, 0);
    });
    m_process.start(program, arguments);
    return m_process.waitForStarted(15000);
}

void LineProcess::send(const QByteArray& line) {
    m_process.write(line + '\n');
    m_process.waitForBytesWritten(5000);
}

std::optional<QString> LineProcess::waitForLine(const std::function<bool(const QString&)>& match,
                                                int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (true) {
        while (m_process.canReadLine()) {
            const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
            if (match(line)) {
                return line;
            }
        }
        if (deadline.hasExpired() || m_process.state() != QProcess::Running) {
            return std::nullopt;
        }
        m_process.waitForReadyRead(int(std::clamp<qint64>(deadline.remainingTime(), 1, 200)));
    }
}

int LineProcess::stop(int graceMs) {
    if (m_process.state() == QProcess::NotRunning) {
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }
    const pid_t pid = pid_t(m_process.processId());
    ::kill(pid, SIGTERM);
    if (!m_process.waitForFinished(graceMs)) {
        ::kill(-pid, SIGKILL);
        m_process.waitForFinished(5000);
        return -1;
    }
    // Whatever the program started in its group goes with it.
    ::kill(-pid, SIGKILL);
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

QString LineProcess::errorOutput() {
    return QString::fromUtf8(m_process.readAllStandardError());
}

bool PasteTarget::start(const QProcessEnvironment& environment, const QString& field) {
    return m_process.start(QStringLiteral(QUOVANT_PASTE_TARGET), {u"--focus"_s, field},
                           environment) &&
           m_process.waitForLine([](const QString& l) { return l.startsWith(u"READY "_s); },
                                 60000);
}

std::optional<QString> PasteTarget::waitForText(const QString& field,
                                                const std::function<bool(const QString&)>& done,
                                                int timeoutMs) {
    std::optional<QString> text;
    m_process.waitForLine(
        [&](const QString& line) {
            if (!line.startsWith(u"TEXT "_s + field + u' ')) {
                return false;
            }
            const QString value =
                QString::fromUtf8(QByteArray::fromBase64(line.section(u' ', 2).toLatin1()));
            if (!done(value)) {
                return false;
            }
            text = value;
            return true;
        },
        timeoutMs);
    return text;
}

bool PasteTarget::clear() {
    m_process.send("clear");
    return bool(m_process.waitForLine([](const QString& l) { return l == u"CLEARED"_s; }, 30000));
}

bool PasteTarget::copy(const QString& text) {
    m_process.send("copy text/plain " + text.toUtf8().toBase64());
    return bool(m_process.waitForLine([](const QString& l) { return l == u"COPIED"_s; }, 30000));
}

std::optional<QString> PasteTarget::read() {
    m_process.send("read text/plain");
    const auto line = m_process.waitForLine(
        [](const QString& l) { return l.startsWith(u"CLIP text/plain "_s); }, 30000);
    if (!line) {
        return std::nullopt;
    }
    return QString::fromUtf8(QByteArray::fromBase64(line->section(u' ', 2).toLatin1()));
}

ProgramResult runProgram(const QString& program, const QStringList& arguments, int timeoutMs) {
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        return {};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

Speech speak(const QString& voice, const QString& text) {
    QTemporaryDir dir;
    const QString wav = dir.filePath(u"speech.wav"_s);
    if (!speakWithFlite(voice, text, wav)) {
        return {};
    }
    const auto decoded = WavDecoder::decode(readFile(wav));
    return {decoded.samples, int(decoded.sampleRate)};
}

std::vector<float> withRoomNoise(const Speech& speech, double leadSeconds, double tailSeconds,
                                 std::size_t* speechStart) {
    std::mt19937 random(11);
    std::uniform_real_distribution<float> noise(-0.002f, 0.002f);
    std::vector<float> signal;
    const auto room = [&](double seconds) {
        for (std::size_t i = 0; i < std::size_t(seconds * speech.rate); ++i) {
            signal.push_back(noise(random));
        }
    };
    room(leadSeconds);
    if (speechStart) {
        *speechStart = signal.size();
    }
    for (const float sample : speech.samples) {
        signal.push_back(sample + noise(random));
    }
    room(tailSeconds);
    return signal;
}

RunningQuovant::RunningQuovant(const QByteArray& config, int micRate) : m_micRate(micRate) {
    writeFile(m_home.filePath(u"config.json"_s), config);
    QDir().mkpath(m_home.filePath(u"home/.local/bin"_s));
}

RunningQuovant::~RunningQuovant() {
    m_program.stop();
    m_speaker.reset();
}

bool RunningQuovant::start(const QString& readyLine) {
    m_display = std::make_unique<XvfbServer>();
    if (!m_display->running()) {
        m_failure = u"Xvfb did not start"_s;
        return false;
    }
    m_bus = std::make_unique<AccessibilityBus>();
    if (!m_bus->running()) {
        m_failure = u"the session and accessibility buses did not start"_s;
        return false;
    }
    m_pulse = std::make_unique<PulseServer>();
    if (!m_pulse->running()) {
        m_failure = u"PulseAudio did not start: "_s + m_pulse->failure();
        return false;
    }
    const auto source = m_pulse->loadPipeSource(u"mic"_s, m_micRate);
    if (!source || !m_pulse->setDefaultSource(source->source)) {
        m_failure = u"no pipe source"_s;
        return false;
    }
    m_speaker = std::make_unique<PipeSourceWriter>(source->fifo);

    QProcessEnvironment environment = this->environment();
    environment.insert(u"QUOVANT_HOME"_s, m_home.path());
    environment.insert(u"HOME"_s, m_home.filePath(u"home"_s));
    environment.remove(u"QT_QPA_PLATFORM"_s);
    environment.remove(u"WAYLAND_DISPLAY"_s);
    environment.insert(u"XDG_SESSION_TYPE"_s, u"x11"_s);
    environment.insert(u"XDG_CONFIG_HOME"_s, m_home.filePath(u"xdg-config"_s));
    for (const QString& name : m_extraEnvironment.keys()) {
        environment.insert(name, m_extraEnvironment.value(name));
    }
    QElapsedTimer clock;
    clock.start();
    if (!m_program.start(QStringLiteral(QUOVANT_BINARY), {}, environment)) {
        m_failure = u"quovant did not start"_s;
        return false;
    }
    if (!waitForLog(readyLine, 120000)) {
        m_failure = u"quovant never logged \""_s + readyLine + u"\"; its log:\n"_s + logText() +
                    m_program.errorOutput();
        return false;
    }
    m_startupMs = clock.elapsed();
    return true;
}

QProcessEnvironment RunningQuovant::environment() const {
    // The display and sound server are in this process's environment while their peers live.
    return m_bus->environment();
}

QString RunningQuovant::logText() const {
    return QString::fromUtf8(readFile(QDir(m_home.path()).filePath(u"quovant.log"_s)));
}

bool RunningQuovant::waitForLog(const QString& needle, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!logText().contains(needle)) {
        if (deadline.hasExpired() || !m_program.running()) {
            return logText().contains(needle);
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
    return true;
}

ProgramResult RunningQuovant::control(const QStringList& arguments) const {
    return runProgram(QStringLiteral(QUOVANT_BINARY), arguments, 30000);
}

bool RunningQuovant::keyDown(const QString& key) const {
    return runProgram(u"xdotool"_s, {u"keydown"_s, key}, 10000).exitCode == 0;
}

bool RunningQuovant::keyUp(const QString& key) const {
    return runProgram(u"xdotool"_s, {u"keyup"_s, key}, 10000).exitCode == 0;
}

} // namespace quovant::testing
