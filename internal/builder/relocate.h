// Moving an unpacked Debian tree into the application tree: "bin", "lib",
// "share", "etc" and "app" at the top, the matching directories of "usr"
// folded into them, every other directory under "rootfs-overlay".
#pragma once

#include <string>

#include "internal/util/beneath.h"
#include "internal/util/error.h"

namespace builder {

// Relocates each top-level entry of `extracted` into the empty directory
// `relocated`. Entries that are not directories, at the top and in "usr",
// are dropped. Sources sharing a destination arrive in name order (the
// directories of "usr" where "usr" sorts); the first is renamed whole, each
// later one merged into it, a later file replacing an earlier one. Nothing is
// created, moved or replaced through a link leading out of either tree.
// Failures: "read dir %s: %w", "read usr dir: %w", "mkdir overlay: %w",
// "move %s -> %s: %w", "move overlay %s -> %s: %w", "move usr/%s -> %s: %w",
// "move overlay usr/%s: %w".
util::Error relocateFiles(const std::string& extracted, const std::string& relocated);

// Moves src_rel (beneath src) to dst_rel (beneath dst): one rename when
// nothing stands at dst_rel, else an entry-by-entry merge (directories
// created with the source's permission bits, links recreated, other files
// renamed over what stands there). The parents of dst_rel are created 0755.
util::Error mergeDir(const util::Root& src, const std::string& src_rel, const util::Root& dst,
                     const std::string& dst_rel);

}  // namespace builder
