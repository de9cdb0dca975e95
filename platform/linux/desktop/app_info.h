#pragma once

#include <QString>

namespace quovant::AppInfo {

// "v" followed by the project's version as the build knows it, else "v0.1.0".
QString version();
// The version as given to the build, e.g. "0.1.0" (may be empty).
QString buildVersion();

} // namespace quovant::AppInfo
