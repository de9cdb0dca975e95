#include "app/desktop/app_info.h"

using namespace Qt::StringLiterals;

namespace quovant::AppInfo {

QString version() {
#ifdef QUOVANT_VERSION
    const QString number = QStringLiteral(QUOVANT_VERSION);
#else
    const QString number;
#endif
    return u"v"_s + (number.isEmpty() ? u"0.1.0"_s : number);
}

} // namespace quovant::AppInfo
