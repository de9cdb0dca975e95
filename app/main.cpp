#include "app/desktop/command_line.h"
#include "app/desktop/control_service.h"
#include "app/desktop/desktop_application.h"
#include "app/verify.h"
#include "platform/linux/desktop/app_info.h"
#include "settings/log.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using quovant::CommandLine;

namespace {

void print(FILE* stream, const QString& text) {
    std::fputs(text.toUtf8().constData(), stream);
}

QCoro::Task<void> transcribeAndQuit(QString wavPath, QString locale) {
    const int status = co_await quovant::Verify::run(wavPath, locale);
    QCoreApplication::exit(status);
}

int runTranscribe(int argc, char* argv[], const CommandLine& command) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"Quovant"_s);
    // Started from the event loop so that exit() always has a loop to end.
    std::optional<QCoro::Task<void>> running;
    QTimer::singleShot(0, &app, [&] {
        running.emplace(transcribeAndQuit(command.wavPath, command.locale));
    });
    const int status = QCoreApplication::exec();
    quovant::Log::flush();
    return status;
}

int runControl(int argc, char* argv[], const CommandLine& command) {
    QCoreApplication app(argc, argv);
    return quovant::ControlClient::run(command);
}

int g_signalSocket[2] = {-1, -1};

void forwardSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(g_signalSocket[0], &byte, 1);
}

// Logging out (SIGTERM) or Ctrl+C (SIGINT) quits like "Quit Quovant": the keys stop, the capture
// is torn down and the log is flushed.
void quitOnTerminationSignals(QObject* context) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalSocket) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(g_signalSocket[1], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [] {
        char byte = 0;
        [[maybe_unused]] const auto read = ::read(g_signalSocket[1], &byte, 1);
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

int runDesktop(int argc, char* argv[]) {
    const bool x11 = !qEnvironmentVariableIsEmpty("DISPLAY");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        if (!x11 && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
            print(stderr, u"quovant: no graphical display (DISPLAY is not set). Start Quovant "
                          u"from a desktop session, or run `quovant transcribe <wav>` for the "
                          u"command line.\n"_s);
            return 1;
        }
        // The keys, typing and the overlay speak X11 (through XWayland on a Wayland desktop).
        if (x11) {
            qputenv("QT_QPA_PLATFORM", "xcb");
        }
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(u"Quovant"_s);
    QApplication::setApplicationVersion(quovant::AppInfo::version());
    QApplication::setDesktopFileName(u"quovant"_s);
    QApplication::setQuitOnLastWindowClosed(false);

    switch (quovant::ControlService::claimName(QDBusConnection::sessionBus())) {
    case quovant::ControlService::Claim::claimed:
        break;
    case quovant::ControlService::Claim::alreadyRunning:
        print(stderr, u"Quovant is already running. Use its tray icon, or `quovant toggle` to "
                      u"dictate hands-free.\n"_s);
        return 1;
    case quovant::ControlService::Claim::noBus:
        quovant::Log::warn(u"No session bus: a second Quovant cannot be prevented, and "
                           u"`quovant toggle` and the other control commands will not work."_s);
        break;
    }

    quitOnTerminationSignals(&app);
    int status = 0;
    {
        quovant::DesktopApplication shell;
        shell.launch();
        status = QApplication::exec();
    }
    quovant::Log::flush();
    return status;
}

} // namespace

int main(int argc, char* argv[]) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.append(QString::fromLocal8Bit(argv[i]));
    }
    const CommandLine command = CommandLine::parse(arguments);
    switch (command.kind) {
    case CommandLine::Kind::help:
        print(stdout, command.text);
        return 0;
    case CommandLine::Kind::version:
        print(stdout, u"Quovant "_s + quovant::AppInfo::version() + u'\n');
        return 0;
    case CommandLine::Kind::usageError:
        print(stderr, command.text);
        return 2;
    case CommandLine::Kind::transcribe:
        return runTranscribe(argc, argv, command);
    case CommandLine::Kind::control:
        return runControl(argc, argv, command);
    case CommandLine::Kind::desktop:
        break;
    }
    return runDesktop(argc, argv);
}
