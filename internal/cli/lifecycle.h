// Moving an extracted package tree into place and running a package's own
// install or uninstall script confined to its tree.
#pragma once

#include <string>

#include "internal/util/error.h"

namespace cli {

// Copies the tree under src into dst: directories get their source's
// permission bits exactly, files are created with them (less the umask),
// symbolic links are recreated with the same target text (a link already at
// the destination is replaced). dst is created only for the first entry, so an
// empty src leaves no dst. Nothing is written through a link in dst. The first
// failure stops the copy and is returned.
util::Error copyDirN(const std::string& src, const std::string& dst);

// Puts the tree under src at dst with the same result as copyDirN, but by one
// rename where it can: src is then gone. Copies instead when src is a link or
// on another file system.
util::Error moveDirN(const std::string& src, const std::string& dst);

// Runs the lifecycle script `script` (relative to dir, or absolute) of the
// tree at dir: refused with "lifecycle script path %q escapes install
// directory %q" when its path, lexically or through a symbolic link, leads
// outside dir; skipped with an "[warn] Lifecycle script not found" INFO line
// when it does not exist. It is made 0755, run without arguments with the
// process's environment plus exactly one ZOL_INSTALL_PATH=dir, its output the
// process's own, standard input /dev/null. Failure: "lifecycle script PATH:
// cause".
util::Error runLifecycleScript(const std::string& script, const std::string& dir);

}  // namespace cli
