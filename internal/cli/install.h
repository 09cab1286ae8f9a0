// The install of a package file, the automatic install of a missing base
// layer beside it, and the upgrade.
#pragma once

#include <string>
#include <vector>

#include "internal/config/config.h"
#include "internal/pkgfmt/manifest.h"
#include "internal/util/error.h"

namespace cli {

// Installs an application or a base layer from a package file.
util::Error InstallPackage(const config::Config& cfg, const std::string& pkgPath);

// Checks the ".sig" (against cfg.PublicKey) or else the ".sha256" beside the
// package file (which cfg.RequireChecksum may demand); `digest`, when given,
// is the package's digest text (or the failure to compute it), taken instead
// of hashing the file again.
util::Error verifyPackageIntegrity(const config::Config& cfg, const std::string& pkgPath,
                                   const util::Result<std::string>* digest = nullptr);

// Installs a missing base layer from a base package beside pkgPath; only logs.
void ensureBaseRuntime(const std::string& pkgPath, const pkgfmt::Manifest& m, const config::Config& cfg);

// Every base package in dir for base and arch, in name order, by what
// peekZOLManifest reads of each. The file `except` names (the application
// package being installed, already known to be no base) is not read.
std::vector<std::string> findBaseZOLs(const std::string& dir, const std::string& base, const std::string& arch,
                                      const std::string& except = "");

// The manifest the extractor would keep for the package file (its last
// "manifest.json" member), parsed and validated, without unpacking anything.
util::Result<pkgfmt::Manifest> peekZOLManifest(const std::string& path);

// Removes what killed installs, reinstalls and uninstalls left beside the
// versions in id_dir (app_dir/id): staging directories and holders of
// replaced or uninstalled trees. Called with the registry lock held, so none
// of them belongs to a live operation; `keep` (the recorded install path)
// stays whatever its name. Returns the versions whose uninstall it finished.
std::vector<std::string> removeLeftovers(const std::string& id_dir, const std::string& keep);

// Reads the package's manifest, says which version replaces which, and
// installs it.
util::Error UpgradeApp(const config::Config& cfg, const std::string& pkgPath);

}  // namespace cli
