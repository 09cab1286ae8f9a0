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

namespace {

// `bytes` in the largest unit of MB, KB and bytes in which it differs from
// `other`: a shortfall never reads as "need 0 MB, have 0 MB".
std::string SizeText(uint64_t bytes, uint64_t other) {
  if (bytes / 1048576 != other / 1048576) return std::to_string(bytes / 1048576) + " MB";
  if (bytes / 1024 != other / 1024) return std::to_string(bytes / 1024) + " KB";
  return std::to_string(bytes) + " bytes";
}

}  // namespace

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
  const std::string need_text = SizeText(need, *free_bytes), have_text = SizeText(*free_bytes, need);
  return Error::Msg(Sprintf("insufficient disk space: need %s, have %s free on %s", need_text.c_str(),
                            have_text.c_str(), path.c_str()));
}

}  // namespace util
