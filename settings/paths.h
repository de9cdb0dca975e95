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
// Creates `path` and its missing parents, each 0700 (or narrower, as the umask says). True
// when `path` is a directory afterwards.
bool makePrivateDirectory(const QString& path);

// Where the data directory lives for the given environment values (empty = unset). Pure.
QString locateRoot(const QString& quovantHome, const QString& xdgDataHome, const QString& home);
// The one-time preparation `root()` performs: migrate a legacy "Palvane" sibling into a root
// named "Quovant", create the directory, tighten the permissions of it and of the files kept
// in it, and remove temporary files that killed saves left. A missing `sharedParent` (the XDG
// data directory other programs use too) and its missing parents are created 0755, every other
// missing parent of `root` 0700; neither is ever wider than the umask allows. File-system
// errors are ignored.
void prepareRoot(const QString& root, const QString& sharedParent = {});

} // namespace Paths
} // namespace quovant
