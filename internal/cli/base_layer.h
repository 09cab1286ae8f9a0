// Base layers: the install of a base package as a root file system under the
// runtime directory, and what install, uninstall and info ask of layers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "internal/config/config.h"
#include "internal/pkgfmt/manifest.h"
#include "internal/util/error.h"
#include "internal/util/file_lock.h"

namespace cli {

// Installs the base package extracted at dir as the layer base-arch.
util::Error installBaseZOL(const std::string& dir, const pkgfmt::Manifest& m, const config::Settings& cfg);
util::Error runTarExtract(const std::string& tarball, const std::string& dest, bool xattrs);
// Logs each runtime the manifest depends on that is not installed.
void checkDependencies(const pkgfmt::Manifest& m, const config::Settings& cfg);

// The mount points at or below dir (resolved) in this mount namespace.
std::vector<std::string> mountsBeneath(const std::string& dir);

// The seven lines of "runtime.json".
std::string runtimeJSON(const std::string& layer, const std::string& version, const std::string& arch);

// Taken by every install and uninstall of a base layer for the whole
// operation: a flock on a file beside the runtime directory.
util::Result<util::FileLock> lockBaseLayers(const config::Settings& cfg);

// Removes a tree of a base layer that no run can see any more (a replaced
// rootfs, an unfinished one, a layer set aside for removal) without ever
// crossing a mount: a tree with anything still mounted inside stays, and the
// error names the mount.
util::Error removeLayerTree(const std::string& path);

// Where an uninstall of the layer `name` sets it aside: a hidden name in the
// runtime directory, followed by six random characters.
std::string layerAsidePrefix(const config::Settings& cfg, const std::string& name);

// Removes what killed installs and uninstalls of the layer `name` left: its
// trees set aside for removal, an unfinished or replaced rootfs, and a layer
// directory with nothing else in it. Called with lockBaseLayers held. Returns
// whether it finished an uninstall.
bool removeLayerLeftovers(const config::Settings& cfg, const std::string& name);

// Whether the layer has its rootfs (a directory, never a link) and its
// "runtime.json": what a finished install leaves.
bool layerComplete(const std::string& layer_dir);

// The layer name an id names when it has a base-layer prefix; false otherwise.
bool baseLayerName(const std::string& id, std::string* name);

}  // namespace cli
