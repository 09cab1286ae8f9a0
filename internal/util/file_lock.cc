#include "internal/util/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "internal/util/files.h"
#include "internal/util/paths.h"
#include "internal/util/strings.h"

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

Result<FileLock> LockDir(const std::string& dir, bool shared, bool wait) {
  for (;;) {
    UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) return Error::Errno("open", dir, errno);
    const int op = (shared ? LOCK_SH : LOCK_EX) | (wait ? 0 : LOCK_NB);
    while (::flock(fd.get(), op) != 0) {
      if (errno != EINTR) return Error::Errno("flock", dir, errno);
    }
    struct stat held, now;
    if (::fstat(fd.get(), &held) != 0) return Error::Errno("stat", dir, errno);
    if (::lstat(dir.c_str(), &now) != 0) {
      if (errno == ENOENT) return Error::Errno("open", dir, ENOENT);
      return Error::Errno("stat", dir, errno);
    }
    if (held.st_dev == now.st_dev && held.st_ino == now.st_ino) return FileLock(std::move(fd), dir);
  }
}

std::vector<pid_t> LockHolders(const std::string& path) {
  std::vector<pid_t> pids;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return pids;
  // The kernel writes the file as "MAJ:MIN:INODE", both numbers of the
  // device in hexadecimal with at least two digits.
  const std::string key = Sprintf("%02x:%02x:%llu", ::major(st.st_dev), ::minor(st.st_dev),
                                  static_cast<unsigned long long>(st.st_ino));
  Result<std::string> locks = ReadFile("/proc/locks", 0, 64 << 20);
  if (!locks.ok()) return pids;
  size_t pos = 0;
  while (pos < locks->size()) {
    size_t end = locks->find('\n', pos);
    if (end == std::string::npos) end = locks->size();
    // "N: FLOCK  ADVISORY  READ  PID MAJ:MIN:INODE 0 EOF"; waiters carry "->".
    std::vector<std::string> words;
    std::istringstream line(locks->substr(pos, end - pos));
    for (std::string w; line >> w;) words.push_back(w);
    pos = end + 1;
    if (words.size() < 6 || words[1] != "FLOCK") continue;
    if (words[5] == key) pids.push_back(static_cast<pid_t>(std::atoi(words[4].c_str())));
  }
  return pids;
}

}  // namespace util
