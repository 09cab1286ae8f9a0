#include "internal/util/disk.h"

#include <sys/statfs.h>

#include <cerrno>

#include "internal/util/log.h"
#include "internal/util/paths.h"
#include "internal/util/strings.h"

namespace util {

Result<uint64_t> DiskFreeBytes(const std::string& path) {
  struct statfs st;
  if (::statfs(path.c_str(), &st) != 0) return Error::Errno("statfs", path, errno);
  return static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_bsize);
}

Error CheckDiskSpace(const std::string& path, uint64_t need) {
  Result<uint64_t> free_bytes = DiskFreeBytes(path);
  // The application directory of a first install does not exist yet; the
  // file system that will hold it is the one of its nearest existing
  // ancestor.
  std::string dir = path;
  while (!free_bytes.ok() && free_bytes.error().Is(ENOENT)) {
    std::string parent = DirName(dir);
    if (parent == dir) break;
    dir = std::move(parent);
    Result<uint64_t> up = DiskFreeBytes(dir);
    // Any other failure on the way up is reported as the path's own.
    if (!up.ok() && !up.error().Is(ENOENT)) break;
    free_bytes = std::move(up);
  }
  if (!free_bytes.ok()) {
    Warn("disk space check failed for %s: %v", path, free_bytes.error());
    return Error();
  }
  if (*free_bytes >= need) return Error();
  return Error::Msg(Sprintf("insufficient disk space: need %llu MB, have %llu MB free on %s",
                            static_cast<unsigned long long>(need / 1048576),
                            static_cast<unsigned long long>(*free_bytes / 1048576), path.c_str()));
}

}  // namespace util
