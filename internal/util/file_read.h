// Reading a whole small file with a bound, so a file that should be small
// (a manifest, a sidecar) cannot make the process hold gigabytes.
#pragma once

#include <cstddef>
#include <string>

#include "internal/util/error.h"

namespace util {

// The file's content. Errors: the system's ("open PATH: reason", "read PATH:
// reason"), or "read PATH: file larger than N bytes".
Result<std::string> ReadFileBounded(const std::string& path, size_t max_bytes);

}  // namespace util
