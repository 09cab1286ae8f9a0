#include "internal/builder/file_write.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "internal/util/fd.h"
#include "internal/util/files.h"

namespace builder {

util::Error WriteFile0644(const std::string& path, std::string_view content) {
  util::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (!fd.valid()) return util::Error::Errno("open", path, errno);
  ZOL_TRY(util::WriteAll(fd.get(), content, path));
  if (::close(fd.Release()) != 0) return util::Error::Errno("close", path, errno);
  return {};
}

}  // namespace builder
