// Sorted directory listings for the Debian road's tree moves and copies.
#pragma once

#include <string>
#include <vector>

#include "internal/util/error.h"

namespace builder {

// The names in the open directory `dirfd` (not consumed) in byte order,
// without "." and ".."; `shown` names it in messages ("open"/"readdirent
// SHOWN: reason").
util::Result<std::vector<std::string>> ReadDirNamesFd(int dirfd, const std::string& shown);
// The same for a path, which is opened following links.
util::Result<std::vector<std::string>> ReadDirNames(const std::string& path);

}  // namespace builder
