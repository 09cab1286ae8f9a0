// The Debian road: a ".deb" unpacked, relocated into the application tree,
// given its Python dependencies and recipe, and packed.
#pragma once

#include <string>
#include <string_view>

#include "internal/builder/builder.h"
#include "internal/util/error.h"

namespace builder {

// i386 -> i686, amd64 -> x86_64, arm64 -> aarch64, armhf -> armv7l;
// anything else unchanged. "all" names no architecture: the road takes
// IndependentArch for it, so this leaves it unchanged too.
std::string MapDebArch(const std::string& deb_arch);

// Builds the package from a data member (still compressed) whose name,
// version and architecture are settled. The package file name is checked
// before any work; the build directory ("zol-build-tar-*") is removed on
// every return.
util::Error buildFromTarData(std::string_view data_tar, const std::string& name, const std::string& version,
                             const std::string& arch, BuildOptions opts);

}  // namespace builder
