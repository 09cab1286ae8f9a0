// Signing and verifying a package in place: the work behind "sign" and
// "verify", callable without the command line.
#pragma once

#include <string>

#include "internal/util/error.h"

namespace cli {

// Embeds a signature of the package's "manifest.json" made with the private
// key file. The package is extracted into a "zol-sign-" temporary directory,
// "signature.json" is written there and the tree is packed into a new file
// beside the package, which then replaces it with the original's mode; until
// that rename the package file is untouched.
util::Error signZOLFile(const std::string& pkg_path, const std::string& key_path);

// Packs `tree` into a new file beside the package and renames it over the
// package, so a failure part-way leaves the old package whole. The new file
// takes the old one's mode and owner; a package path that is a link is
// replaced where the link points. Errors are the writer's or the system's.
util::Error RepackPackage(const std::string& tree, const std::string& pkg_path);

// Checks the package's embedded signature, against the public keys in
// `trusted_keys_dir` when it is not empty. Changes nothing. An unsigned
// package passes; `had_signature`, when given, tells whether there was a
// signature to check.
util::Error verifyZOLFile(const std::string& pkg_path, const std::string& trusted_keys_dir,
                          bool* had_signature = nullptr);

}  // namespace cli
