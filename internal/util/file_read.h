// Reading a whole small file with a bound, so a file that should be small
// (a manifest, a sidecar) cannot make the process hold gigabytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "internal/util/error.h"

namespace util {

// The file's content. Errors: the system's ("open PATH: reason", "read PATH:
// reason"), or "read PATH: file larger than N bytes".
Result<std::string> ReadFileBounded(const std::string& path, size_t max_bytes);

// ReadFileBounded for a file that must be a regular one (a sidecar beside a
// package): it is opened without waiting, so a FIFO or a device in its place
// fails at once. A directory fails as reading it would ("read PATH: is a
// directory"); any other kind with "read PATH: not a regular file".
Result<std::string> ReadRegularFile(const std::string& path, size_t max_bytes = SIZE_MAX);

}  // namespace util
