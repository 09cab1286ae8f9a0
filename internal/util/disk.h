// Free space on the file system that will hold an install.
#pragma once

#include <cstdint>
#include <string>

#include "internal/util/error.h"

namespace util {

// Bytes available to an unprivileged user on the file system holding path;
// "statfs PATH: reason" on failure.
Result<uint64_t> DiskFreeBytes(const std::string& path);

// Fails with "insufficient disk space: need N MB, have M MB free on PATH"
// (mebibytes, rounded down) when fewer than `need` bytes are available. A
// path that does not exist yet is measured on its nearest existing ancestor;
// any other statfs failure is logged as a warning and the check is skipped.
Error CheckDiskSpace(const std::string& path, uint64_t need);

}  // namespace util
