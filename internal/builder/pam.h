// The PAM fix-up: a package that bundles the "pamela" module gets its own
// copy of libpam.so.0 and a library lookup that falls back to that name, so
// the module still loads inside the sandbox's root filesystem.
#pragma once

#include <string>

#include "internal/util/error.h"

namespace builder {

// Does the fix-up when site_packages holds pamela.py; prints its progress and
// warnings and never fails. rootfs may be empty.
void patchPAMLibrary(const std::string& site_packages, const std::string& files_dir, const std::string& rootfs);

// The first PAM library that exists: rootfs's candidates (when rootfs is not
// empty), then the build host's; "" when none does.
std::string findPAMLib(const std::string& rootfs);

// Gives the first PAM lookup line of the module at `path` the libpam.so.0
// fallback and removes its stale bytecode; true when the line was replaced.
// The file is read and written beneath its own directory.
util::Result<bool> patchPAMPath(const std::string& path);

}  // namespace builder
