#pragma once

// The real `quovant` program on a private desktop, for the end-to-end tests and the desktop
// benchmarks: Xvfb, a session bus with the accessibility bus on it, a PulseAudio daemon whose default source is a pipe the test
// speaks into, and a temporary data directory. Nothing of the machine's own desktop is touched.
//
//     RunningQuovant quovant(R"({"retainHistory": true})");
//     ASSERT_TRUE(quovant.start()) << quovant.failure().toStdString();
//     quovant.speaker().play(samples, rate);

#include "support/accessibility_bus.h"
#include "support/desktop_peers.h"
#include "support/pulse_server.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace quovant::testing {

// A child program that reads commands on standard input and reports on standard output, one
// line each. Killed with its process group when the object goes or the test process dies.
class LineProcess {
public:
    LineProcess() = default;
    ~LineProcess();
    LineProcess(const LineProcess&) = delete;
    LineProcess& operator=(const LineProcess&) = delete;

    bool start(const QString& program, const QStringList& arguments,
               const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment());
    bool running() const { return m_process.state() == QProcess::Running; }
    qint64 processId() const { return m_process.processId(); }
    void send(const QByteArray& line);
    // The first line not read before that satisfies `match`, waited for up to `timeoutMs`.
    std::optional<QString> waitForLine(const std::function<bool(const QString&)>& match,
                                       int timeoutMs);
    // Ends the program (SIGTERM, then SIGKILL) and gives its exit code, -1 if it crashed.
    int stop(int graceMs = 10000);
    QString errorOutput();

private:
    QProcess m_process;
    QByteArray m_pending;
};

// The X11 test program with text fields (tests/programs/paste_target.cpp): reports what each
// field holds, and copies and reads the clipboard on request.
class PasteTarget {
public:
    bool start(const QProcessEnvironment& environment, const QString& field = QStringLiteral("line"));
    // The field's text once `done` holds for it (earlier reports are passed over).
    std::optional<QString> waitForText(const QString& field,
                                       const std::function<bool(const QString&)>& done,
                                       int timeoutMs);
    bool clear();
    bool copy(const QString& text);
    std::optional<QString> read();

private:
    LineProcess m_process;
};

struct ProgramResult {
    int exitCode = -1;
    QString out;
    QString err;
};

// Runs a program to its end (bounded) and gives its exit code and output.
ProgramResult runProgram(const QString& program, const QStringList& arguments, int timeoutMs);

// Speech synthesised by flite: mono samples and their rate. Empty when flite failed.
struct Speech {
    std::vector<float> samples;
    int rate = 0;
};
Speech speak(const QString& voice, const QString& text);

class RunningQuovant {
public:
    // `config` is written as config.json before the program starts. The pipe source runs at
    // `micRate` (the speech's own rate; the sound server converts).
    explicit RunningQuovant(const QByteArray& config = "{}", int micRate = 16000);
    ~RunningQuovant();

    // Starts the program and waits for `readyLine` in its log. False with `failure` set when the
    // peers or the program did not come up.
    bool start(const QString& readyLine = QStringLiteral("] Ready. Hold "));
    QString failure() const { return m_failure; }
    // Milliseconds from starting the process to the ready line.
    qint64 startupMs() const { return m_startupMs; }
    qint64 processId() const { return m_program.processId(); }
    int stop() { return m_program.stop(); }

    QString home() const { return m_home.path(); }
    // The program's own home folder ($HOME), where agents are installed for it.
    QString userHome() const { return m_home.filePath(QStringLiteral("home")); }
    // An environment variable for the program; takes effect at `start`.
    void setEnvironment(const QString& name, const QString& value) {
        m_extraEnvironment.insert(name, value);
    }
    QString logText() const;
    bool waitForLog(const QString& needle, int timeoutMs);
    // Runs `quovant <arguments>` against this desktop (control commands and the like).
    ProgramResult control(const QStringList& arguments) const;

    // For other programs on this desktop: display, buses, sound server, accessibility on.
    QProcessEnvironment environment() const;
    PipeSourceWriter& speaker() { return *m_speaker; }

    // Holds or lets go of a key through XTest, as the user's keyboard would ("Alt_R", …).
    bool keyDown(const QString& key) const;
    bool keyUp(const QString& key) const;

private:
    std::unique_ptr<XvfbServer> m_display;
    std::unique_ptr<AccessibilityBus> m_bus;
    std::unique_ptr<PulseServer> m_pulse;
    std::unique_ptr<PipeSourceWriter> m_speaker;
    QTemporaryDir m_home;
    int m_micRate;
    LineProcess m_program;
    QProcessEnvironment m_extraEnvironment;
    QString m_failure;
    qint64 m_startupMs = -1;
};

// Faint room noise around a recording, so that the microphone never delivers digital silence:
// `leadSeconds` before, `tailSeconds` after. Sets `speechStart` to the first speech sample.
std::vector<float> withRoomNoise(const Speech& speech, double leadSeconds, double tailSeconds,
                                 std::size_t* speechStart = nullptr);

} // namespace quovant::testing
