#pragma once

#include <QString>

namespace quovant {

// Starting the application at login through an XDG autostart entry,
// "$XDG_CONFIG_HOME/autostart/quovant.desktop" (default "~/.config/autostart"). Main thread.
namespace LaunchAtLogin {

// Writes (enabled) or removes (disabled) the entry. Writing is skipped when the entry already
// says the same; removing when there is none. A failure is logged at "ERROR" as
// "Could not change launch-at-login: " + the reason; nothing is thrown.
void set(bool enabled);
// Whether the entry is present.
bool isEnabled();

// The entry's path for the current environment.
QString entryPath();
// The entry's text for an executable path (quoted as desktop entries require).
QString entryText(const QString& executable);

} // namespace LaunchAtLogin
} // namespace quovant
