#include "internal/util/dir_list.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "internal/util/fd.h"

namespace util {

Result<std::vector<std::string>> ListDir(int dirfd, const std::string& shown) {
  // fdopendir takes the descriptor over, so it gets a copy of its own.
  int own = ::fcntl(dirfd, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return Error::Errno("open", shown, errno);
  DIR* d = ::fdopendir(own);
  if (d == nullptr) {
    int err = errno;
    ::close(own);
    return Error::Errno("open", shown, err);
  }
  ::rewinddir(d);
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    struct dirent* e = ::readdir(d);
    if (e == nullptr) break;
    std::string_view n = e->d_name;
    if (n == "." || n == "..") continue;
    names.emplace_back(n);
  }
  int err = errno;
  ::closedir(d);
  if (err != 0) return Error::Errno("readdirent", shown, err);
  std::sort(names.begin(), names.end());
  return names;
}

Result<std::vector<std::string>> ListDir(const std::string& path, bool follow_last) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow_last ? 0 : O_NOFOLLOW)));
  if (!fd.valid()) return Error::Errno("open", path, errno);
  return ListDir(fd.get(), path);
}

}  // namespace util
