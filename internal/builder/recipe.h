// Build recipes: extra pip requirements, entry arguments and overlay files
// for a Debian build, read from a JSON file.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "internal/pkgfmt/manifest.h"
#include "internal/util/error.h"

namespace builder {

// The largest recipe file a build reads.
inline constexpr size_t kMaxRecipeBytes = 4 << 20;

struct ZolRecipe {
  std::vector<std::string> PipExtras;                // "pip_extras"
  std::vector<std::string> EntryArgs;                // "entry_args"
  std::map<std::string, std::string> OverlayFiles;  // "overlay_files": path under rootfs-overlay -> text
};

// An empty path gives an empty recipe. Failures: "read recipe %s: %w",
// "parse recipe %s: %w".
util::Result<ZolRecipe> LoadRecipe(const std::string& path);

// Appends the entry arguments to m and writes the overlay files under
// files_dir/"rootfs-overlay". A key must name a path strictly inside that
// directory, also after links are followed; anything else, and any write
// that fails, is only a warning on standard output.
void applyRecipePostBuild(const ZolRecipe& recipe, const std::string& files_dir, pkgfmt::Manifest& m);

}  // namespace builder
