#include "platform/linux/desktop/app_info.h"

using namespace Qt::StringLiterals;

// The build passes the project's version; a build without it still reports a version.
#ifndef QUOVANT_VERSION
#define QUOVANT_VERSION ""
#endif

namespace quovant::AppInfo {

QString buildVersion() {
    return QStringLiteral(QUOVANT_VERSION).trimmed();
}

QString version() {
    const QString fromBuild = buildVersion();
    return u"v"_s + (fromBuild.isEmpty() ? u"0.1.0"_s : fromBuild);
}

} // namespace quovant::AppInfo
