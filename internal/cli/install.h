// The package lifecycle of the command line: install, base layers,
// uninstall, upgrade, list and info.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "internal/config/config.h"
#include "internal/pkgfmt/manifest.h"
#include "internal/util/error.h"
#include "internal/util/file_lock.h"

namespace cli {

// Installs an application or a base layer from a package file.
util::Error InstallPackage(const std::string& pkgPath);

// Checks the ".sig" or else the ".sha256" beside the package file.
util::Error verifyPackageIntegrity(const std::string& pkgPath);

// Installs a missing base layer from a base package beside pkgPath; only logs.
void ensureBaseRuntime(const std::string& pkgPath, const pkgfmt::Manifest& m, const config::Settings& cfg);

// The first base package in dir (by name) for base and arch, or "".
std::string findBaseZOL(const std::string& dir, const std::string& base, const std::string& arch);

// The manifest the extractor would keep for the package file (its last
// "manifest.json" member), parsed and validated, without unpacking anything.
util::Result<pkgfmt::Manifest> peekZOLManifest(const std::string& path);

// Base layers.
util::Error installBaseZOL(const std::string& dir, const pkgfmt::Manifest& m, const config::Settings& cfg);
util::Error runTarExtract(const std::string& tarball, const std::string& dest, bool xattrs);
void checkDependencies(const pkgfmt::Manifest& m, const config::Settings& cfg);
// The mount points at or below dir (resolved) in this mount namespace.
std::vector<std::string> mountsBeneath(const std::string& dir);
// The seven lines of "runtime.json".
std::string runtimeJSON(const std::string& layer, const std::string& version, const std::string& arch);

// Removes what killed installs, reinstalls and uninstalls left beside the
// versions in id_dir (app_dir/id): staging directories and holders of
// replaced or uninstalled trees. Called with the registry lock held, so none
// of them belongs to a live operation; `keep` (the recorded install path)
// stays whatever its name. Returns the versions whose uninstall it finished.
std::vector<std::string> removeLeftovers(const std::string& id_dir, const std::string& keep);

// Taken by every install and uninstall of a base layer for the whole
// operation: a flock on a file beside the runtime directory.
util::Result<util::FileLock> lockBaseLayers(const config::Settings& cfg);

// The layer name an id names when it has a base-layer prefix; false otherwise.
bool baseLayerName(const std::string& id, std::string* name);

util::Error UninstallApp(const std::string& id);
util::Error UpgradeApp(const std::string& pkgPath);

// Listing and details, written to standard output.
util::Error ListApps();
util::Error ShowAppInfo(const std::string& id);
util::Error showBaseInfo(const std::string& id, const config::Settings& cfg);
int64_t getDirSize(const std::string& path);

}  // namespace cli
