#pragma once

#include <QString>

namespace quovant {

// The data directory and the permissions of what is written into it. Thread-safe.
namespace Paths {

// The data directory: $QUOVANT_HOME, else $XDG_DATA_HOME/Quovant (default
// ~/.local/share/Quovant). Computed, migrated and protected once per process.
QString root();
// Sets a file's permissions to 0600; failures are ignored.
void protectFile(const QString& path);
// Sets a directory's permissions to 0700; failures are ignored.
void protectDirectory(const QString& path);

} // namespace Paths
} // namespace quovant
