#include "internal/util/file_read.h"

#include <fcntl.h>

#include <cerrno>

#include "internal/util/fd.h"
#include "internal/util/files.h"

namespace util {

Result<std::string> ReadFileBounded(const std::string& path, size_t max_bytes) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return Error::Errno("open", path, errno);
  return ReadAll(fd.get(), path, max_bytes);
}

}  // namespace util
