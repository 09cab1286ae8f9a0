#include "internal/pkgfmt/file_bytes.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "internal/util/fd.h"
#include "internal/util/files.h"

namespace pkgfmt {

util::Result<std::string> ReadFileBytes(const std::string& path) {
  util::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    int err = errno;
    // An empty path (a "--key" given as "") still shows where the path goes.
    if (path.empty()) {
      return util::Error::WithCause("open : " + util::ErrnoText(err), util::Error::Errno("open", path, err));
    }
    return util::Error::Errno("open", path, err);
  }
  return util::ReadAll(fd.get(), path);
}

util::Result<std::string> ReadFileBytesBeneath(const util::Root& root, std::string_view rel, size_t max_bytes) {
  auto fd = root.OpenFile(rel, O_RDONLY, 0, util::Root::Follow::kYes);
  if (!fd.ok()) return fd.error();
  return util::ReadAll(fd->get(), root.PathOf(rel), max_bytes);
}

util::Error WriteFileBytes(const std::string& path, std::string_view data, mode_t mode) {
  util::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
  if (!fd.valid()) return util::Error::Errno("open", path, errno);
  ZOL_TRY(util::WriteAll(fd.get(), data, path));
  if (::close(fd.Release()) != 0) return util::Error::Errno("close", path, errno);
  return util::Error();
}

}  // namespace pkgfmt
