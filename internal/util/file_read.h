// Left for the callers not yet moved to files.h, whose ReadFile and
// ReadRegularFile are the whole-file reads; goes once they include files.h.
#pragma once

#include <cstddef>
#include <string>

#include "internal/util/files.h"

namespace util {

inline Result<std::string> ReadFileBounded(const std::string& path, size_t max_bytes) {
  return ReadFile(path, 0, max_bytes);
}

}  // namespace util
