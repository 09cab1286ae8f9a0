// Filling a package's "site-packages" with its Python dependencies: through
// the build host's pip3, a root filesystem's own interpreter, or an offline
// copy of what that root filesystem already has installed.
#pragma once

#include <string>
#include <vector>

#include "internal/builder/builder.h"
#include "internal/util/error.h"

namespace builder {

// BundleFromRootfs set: bundleFromRootfs; else the host pip3 (after a warning
// line). Errors come back unchanged.
util::Error pipBundlePackage(const std::string& reqs, const std::string& site_packages, const BuildOptions& opts);

// A one-word requirement list already installed in the root filesystem (as given, or with
// "-" spelled "_") copies that whole installed-packages directory; otherwise
// the root filesystem's python3 runs pip. Failure without an interpreter:
// "python3 not found in rootfs %s, and package %s not pre-installed".
util::Error bundleFromRootfs(const std::string& rootfs, const std::string& reqs, const std::string& site_packages,
                             const BuildOptions& opts);

// Runs `pip_cmd` ("pip3", or "INTERPRETER -m pip") once:
//   install WORDS... --target DIR --no-warn-script-location --quiet
//   [--index-url URL] [--trusted-host HOST]
// A requirement word beginning with "-" is refused (it would reach pip as an
// option), then the program and every argument go through the command
// validators; nothing runs after a refusal.
util::Error pipInstallWithBin(const std::string& pip_cmd, const std::string& reqs, const std::string& target,
                              const BuildOptions& opts);

// The argument vector pipInstallWithBin runs, program first.
std::vector<std::string> pipArgv(const std::string& pip_cmd, const std::string& reqs, const std::string& target,
                                 const BuildOptions& opts);

// The installed-packages directories: scanPythonDistDir of usr/local/lib,
// then of usr/lib.
std::vector<std::string> findRootfsPythonDistPackages(const std::string& rootfs);
// For each real directory named python* (byte order): its dist-packages, then
// its site-packages, each when it exists.
std::vector<std::string> scanPythonDistDir(const std::string& base);
// usr/local/bin/python3, else usr/bin/python3 under rootfs, else "".
std::string findRootfsPythonBin(const std::string& rootfs);

// Copies every entry of `dir` into `target` (created 0755): directories as
// trees whose links are recreated with their text and never written through,
// anything else as the regular file it is or names. Failures: "read
// dist-packages dir: %w", "copy dir %s: %w", "copy file %s: %w".
util::Error copyDistPackagesFromDir(const std::string& dir, const std::string& target);

}  // namespace builder
