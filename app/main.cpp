#include "app/verify.h"
#include "settings/log.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

QCoro::Task<void> transcribeAndQuit(QString wavPath, QString locale) {
    const int status = co_await quovant::Verify::run(wavPath, locale);
    QCoreApplication::exit(status);
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"Quovant"_s);
    QCoreApplication::setApplicationVersion(u"0.1.0"_s);

    const QStringList args = QCoreApplication::arguments();
    if (args.size() >= 3 && args.at(1) == u"transcribe"_s) {
        const QString wavPath = args.at(2);
        const QString locale = args.size() >= 4 ? args.at(3) : u"en-US"_s;
        // Started from the event loop so that exit() always has a loop to end.
        std::optional<QCoro::Task<void>> command;
        QTimer::singleShot(0, &app, [&] { command.emplace(transcribeAndQuit(wavPath, locale)); });
        const int status = QCoreApplication::exec();
        quovant::Log::flush();
        return status;
    }

    // The desktop application is not part of this build; only the command line is.
    std::fputs("usage: quovant transcribe <wav> [locale]\n", stderr);
    return args.size() == 1 ? 0 : 2;
}
