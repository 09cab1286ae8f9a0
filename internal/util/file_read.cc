#include "internal/util/file_read.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "internal/util/fd.h"

namespace util {

Result<std::string> ReadFileBounded(const std::string& path, size_t max_bytes) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return Error::Errno("open", path, errno);
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::Errno("read", path, errno);
    }
    if (n == 0) break;
    if (out.size() + static_cast<size_t>(n) > max_bytes) {
      return Error::Msg("read " + path + ": file larger than " + std::to_string(max_bytes) + " bytes");
    }
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

}  // namespace util
