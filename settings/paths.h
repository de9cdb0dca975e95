#pragma once

#include <QString>

namespace quovant {

// The data directory and the permissions of what is written into it. Thread-safe.
namespace Paths {

// The data directory: $QUOVANT_HOME, else $XDG_DATA_HOME/Quovant (default
// ~/.local/share/Quovant). Computed, migrated and protected once per process.
QString root();
// Sets a regular file's permissions to 0600, never through a symbolic link; failures are
// ignored.
void protectFile(const QString& path);
// Sets a directory's permissions to 0700, never through a symbolic link; failures are ignored.
void protectDirectory(const QString& path);

// Where the data directory lives for the given environment values (empty = unset). Pure.
QString locateRoot(const QString& quovantHome, const QString& xdgDataHome, const QString& home);
// The one-time preparation `root()` performs: migrate a legacy "Palvane" sibling into a root
// named "Quovant", create the directory, and tighten the permissions of it and of the files
// kept in it. File-system errors are ignored.
void prepareRoot(const QString& root);

} // namespace Paths
} // namespace quovant
