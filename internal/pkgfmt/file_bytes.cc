#include "internal/pkgfmt/file_bytes.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "internal/util/fd.h"

namespace pkgfmt {
namespace {

util::Result<std::string> ReadFd(int fd, const std::string& path) {
  std::string out;
  char buf[64 * 1024];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return util::Error::Errno("read", path, errno);
    }
    if (n == 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
}

}  // namespace

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
  return ReadFd(fd.get(), path);
}

util::Result<std::string> ReadFileBytesBeneath(const util::Root& root, std::string_view rel) {
  auto fd = root.OpenFile(rel, O_RDONLY, 0, util::Root::Follow::kYes);
  if (!fd.ok()) return fd.error();
  return ReadFd(fd->get(), root.PathOf(rel));
}

util::Error WriteAllFd(int fd, std::string_view data, const std::string& path) {
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = ::write(fd, data.data() + off, data.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      return util::Error::Errno("write", path, errno);
    }
    off += static_cast<size_t>(n);
  }
  return util::Error();
}

util::Error WriteFileBytes(const std::string& path, std::string_view data, mode_t mode) {
  util::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
  if (!fd.valid()) return util::Error::Errno("open", path, errno);
  ZOL_TRY(WriteAllFd(fd.get(), data, path));
  if (::close(fd.Release()) != 0) return util::Error::Errno("close", path, errno);
  return util::Error();
}

}  // namespace pkgfmt
