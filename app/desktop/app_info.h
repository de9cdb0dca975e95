#pragma once

#include <QString>

namespace quovant::AppInfo {

// "v" and the project's version, e.g. "v0.1.0".
QString version();

} // namespace quovant::AppInfo
