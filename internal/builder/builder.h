// The builder's front door: application builds from a foreign package or a
// directory, and base-layer builds from a root filesystem.
//
// The builder reads no settings and writes no log; it reports progress on
// standard output. Its only environment variable is ZOL_SIGNING_KEY_PATH,
// which the front end reads and passes in BuildOptions::SigningKeyPath.
#pragma once

#include <string>

#include "internal/util/error.h"

namespace builder {

// The input of an application build, filled by the build command from its
// flags. Each road works on its own copy.
struct BuildOptions {
  std::string FromDeb;
  std::string FromRPM;
  std::string FromDir;
  std::string Base;
  std::string ID;
  std::string Command;
  std::string Output;
  std::string Name;
  std::string Version;
  bool PipBundle = false;
  std::string PipPackage;
  std::string BundleFromRootfs;
  std::string PipIndexURL;
  std::string PipTrustedHost;
  std::string FromYumPkg;
  std::string YumReleasever;
  std::string Recipe;
  // "--arch": the architecture of a package whose source names none of its
  // own (a directory, Debian "all", RPM "noarch"); empty means the host's.
  // A source that names its own keeps it.
  std::string Arch;
  // The text of ZOL_SIGNING_KEY_PATH: the key that signs the package, none
  // when empty.
  std::string SigningKeyPath;
};

// Builds an application package. The first non-empty source wins, in the
// order FromDeb, FromRPM, FromYumPkg, FromDir; the caller gives at least one.
// Errors of the roads come back unwrapped.
util::Error BuildZOL(BuildOptions opts);

// Builds a base-layer package from the root filesystem `rootfs`. An empty arch
// means the host's (IndependentArch), an empty version "1.0.0".
util::Error BuildBaseZOL(const std::string& rootfs, const std::string& base, const std::string& arch,
                         const std::string& version, const std::string& output);

// The directory road: `name` and `version` already hold their defaults.
util::Error BuildFromDir(const std::string& src, const std::string& output, const std::string& id,
                         const std::string& name, const std::string& version, const std::string& arch,
                         const std::string& base, const std::string& command,
                         const std::string& signing_key_path);

}  // namespace builder
