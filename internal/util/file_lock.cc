#include "internal/util/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "internal/util/files.h"
#include "internal/util/paths.h"

namespace util {

Result<FileLock> LockFile(const std::string& path) {
  ZOL_TRY(MkdirAll(DirName(path), 0755));
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640));
  if (!fd.valid()) return Error::Errno("open", path, errno);
  while (::flock(fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return Error::Errno("flock", path, errno);
  }
  return FileLock(std::move(fd), path);
}

}  // namespace util
