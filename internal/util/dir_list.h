// Sorted directory listings: every walk over a directory reads its names
// through here, so a failed read is an error and the order never depends on
// the file system.
#pragma once

#include <string>
#include <vector>

#include "internal/util/error.h"

namespace util {

// The names in the open directory `dirfd` (not consumed) in byte order,
// without "." and ".."; `shown` names it in messages ("open"/"readdirent
// SHOWN: reason").
Result<std::vector<std::string>> ListDir(int dirfd, const std::string& shown);
// The same for a path. A link at its last component is followed only when
// `follow_last` (inner levels of a walk pass false, so a directory swapped
// for a link is not entered).
Result<std::vector<std::string>> ListDir(const std::string& path, bool follow_last = true);

}  // namespace util
