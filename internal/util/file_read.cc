#include "internal/util/file_read.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "internal/util/fd.h"
#include "internal/util/files.h"

namespace util {

Result<std::string> ReadFileBounded(const std::string& path, size_t max_bytes) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return Error::Errno("open", path, errno);
  return ReadAll(fd.get(), path, max_bytes);
}

Result<std::string> ReadRegularFile(const std::string& path, size_t max_bytes) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return Error::Errno("open", path, errno);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return Error::Errno("stat", path, errno);
  if (S_ISDIR(st.st_mode)) return Error::Errno("read", path, EISDIR);
  if (!S_ISREG(st.st_mode)) return Error::Msg("read " + path + ": not a regular file");
  return ReadAll(fd.get(), path, max_bytes);
}

}  // namespace util
