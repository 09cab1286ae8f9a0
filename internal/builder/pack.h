// The end of every application road: the manifest a build writes, the package
// file packed from a build directory, and its sidecars.
#pragma once

#include <string>
#include <string_view>

#include "internal/pkgfmt/manifest.h"
#include "internal/util/error.h"
#include "internal/util/tempdir.h"

namespace builder {

// Where an application road works and what it will write.
struct BuildStart {
  std::string pkg_path;  // the package file (PackagePath)
  util::TempDir tmp;     // the build directory, removed when dropped
  std::string files;     // tmp's "files", made empty
};

// Settles the package file and refuses names install would refuse before any
// work, so a bad name writes nothing (PackagePath's and CheckInstallNames'
// errors); then makes the build directory with the temporary-name `prefix`
// ("create temp build dir: %w") and its "files" ("create files dir: %w").
util::Result<BuildStart> StartBuild(const std::string& output, const std::string& id, const std::string& version,
                                    const std::string& arch, const std::string& base, std::string_view prefix);

// What a road settled on; generateManifest turns it into the manifest.
struct manifestParams {
  std::string ID;
  std::string Name;
  std::string Version;
  std::string Arch;
  std::string Base;
  std::string Kind;
  std::string Command;
  std::string SourceType;       // "deb", "rpm", "dir"
  std::string OriginalPackage;  // the converted package's path, or "manual"
  std::string Description;      // left out of the file when empty
  bool PipBundled = false;      // also picks PYTHONPATH
};

// The parameters every application road starts from: kind "cli", the rest
// left for the road.
manifestParams AppParams(std::string id, std::string name, std::string version, std::string arch,
                         std::string base);

// The application manifest for `p`: empty entry args and depends lists, the
// fixed environment and permissions. Never fails.
pkgfmt::Manifest generateManifest(manifestParams p);

// Writes dir/"manifest.json" (mode 0644): "marshal manifest: %w",
// "write manifest: %w".
util::Error writeZOLManifest(const std::string& dir, const pkgfmt::Manifest& m);

// Refuses names install would refuse (CheckInstallNames), then
// writeZOLManifest into build_dir, then creates `output` with its parents
// (0755): "create output dir: %w".
util::Error writeBuildArtifacts(const std::string& build_dir, const std::string& output,
                                const pkgfmt::Manifest& m);

// Packs build_dir (which holds "files" and "manifest.json") into pkg_path and
// writes pkg_path.sha256 and, when `signing_key_path` (the text of
// ZOL_SIGNING_KEY_PATH) is not empty, pkg_path.sig. The manifest must pass validation and CheckInstallNames, and
// the tree the extractor's member rules, or nothing is written. The package is written
// under a temporary name beside pkg_path and renamed into place when
// complete; an unsigned build removes a stale pkg_path.sig.
util::Error packZOL(const std::string& build_dir, const std::string& pkg_path, const std::string& signing_key_path);

}  // namespace builder
