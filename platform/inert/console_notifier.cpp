#include "platform/inert/console_notifier.h"

#include "settings/log.h"

namespace quovant {

void ConsoleNotifier::notify(const QString& title, const QString& body) {
    Log::info(QLatin1Char('[') + title + QStringLiteral("] ") + body);
}

} // namespace quovant
