// Whole-file reads and writes for the small files of signing (keys,
// signature records, manifests), with the system's error wording:
// "open PATH: reason", "read PATH: reason", "write PATH: reason".
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "internal/util/beneath.h"
#include "internal/util/error.h"

namespace pkgfmt {

// The whole content of the file at path (links followed).
util::Result<std::string> ReadFileBytes(const std::string& path);
// The whole content of rel beneath root; links are followed only inside it.
// More than max_bytes fails with "read PATH: file larger than N bytes".
util::Result<std::string> ReadFileBytesBeneath(const util::Root& root, std::string_view rel,
                                               size_t max_bytes = SIZE_MAX);

// Creates or truncates path (mode for a new file, before the umask) and
// writes data.
util::Error WriteFileBytes(const std::string& path, std::string_view data, mode_t mode);

}  // namespace pkgfmt
