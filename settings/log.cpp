// Placeholder until the rotating writer lands: standard error only.
#include "settings/log.h"

#include <QTime>
#include <cstdio>

namespace quovant::Log {

void write(const QString& level, const QString& message) {
    const QByteArray line = (QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz")) +
                             QStringLiteral(" [") + level + QStringLiteral("] ") + message +
                             QLatin1Char('\n'))
                                .toUtf8();
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
}

void flush() {}

} // namespace quovant::Log
