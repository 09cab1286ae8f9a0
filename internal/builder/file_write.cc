#include "internal/builder/file_write.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "internal/util/fd.h"

namespace builder {

util::Error WriteFile0644(const std::string& path, std::string_view content) {
  util::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (!fd.valid()) return util::Error::Errno("open", path, errno);
  for (size_t off = 0; off < content.size();) {
    ssize_t n = ::write(fd.get(), content.data() + off, content.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      return util::Error::Errno("write", path, errno);
    }
    off += static_cast<size_t>(n);
  }
  if (::close(fd.Release()) != 0) return util::Error::Errno("close", path, errno);
  return {};
}

}  // namespace builder
