#include "settings/log.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

using namespace Qt::StringLiterals;

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"Quovant"_s);
    QCoreApplication::setApplicationVersion(u"0.1.0"_s);

    const QStringList args = QCoreApplication::arguments();
    if (args.size() >= 3 && args.at(1) == u"transcribe"_s) {
        std::fputs("The transcribe command is not available in this build yet.\n", stderr);
        return 2;
    }
    quovant::Log::info(u"Quovant "_s + QCoreApplication::applicationVersion() +
                       u" started; the desktop application is not available in this build yet."_s);
    quovant::Log::flush();
    std::fputs("usage: quovant transcribe <wav> [locale]\n", stderr);
    return args.size() == 1 ? 0 : 2;
}
