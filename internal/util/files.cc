#include "internal/util/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "internal/util/fd.h"
#include "internal/util/paths.h"

namespace util {

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

Error MkdirAll(const std::string& path, mode_t mode) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return Error();
    return Error::Errno("mkdir", path, ENOTDIR);
  }
  std::string parent = DirName(path);
  if (parent != path && parent != "." && parent != "/") {
    ZOL_TRY(MkdirAll(parent, mode));
  }
  if (::mkdir(path.c_str(), mode) != 0) {
    int err = errno;
    // Another process may have made it meanwhile; a directory is success.
    if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return Error();
    return Error::Errno("mkdir", path, err);
  }
  return Error();
}

Error EnsureDir(const std::string& path) { return MkdirAll(path, 0755); }

namespace {

// Removes the entries of the directory open as `dirfd` (which it consumes).
Error RemoveContents(int dirfd, const std::string& path) {
  DIR* dir = ::fdopendir(dirfd);
  if (dir == nullptr) {
    int err = errno;
    ::close(dirfd);
    return Error::Errno("open", path, err);
  }
  Error first;
  std::vector<std::string> names;
  while (struct dirent* de = ::readdir(dir)) {
    std::string name = de->d_name;
    if (name == "." || name == "..") continue;
    names.push_back(std::move(name));
  }
  for (const std::string& name : names) {
    std::string child = path + "/" + name;
    if (::unlinkat(::dirfd(dir), name.c_str(), 0) == 0 || errno == ENOENT) continue;
    if (errno != EISDIR && errno != EPERM) {
      if (first.ok()) first = Error::Errno("unlinkat", child, errno);
      continue;
    }
    int sub = ::openat(::dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub < 0) {
      if (first.ok()) first = Error::Errno("open", child, errno);
      continue;
    }
    Error e = RemoveContents(sub, child);
    if (!e.ok() && first.ok()) first = e;
    if (::unlinkat(::dirfd(dir), name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT && first.ok()) {
      first = Error::Errno("unlinkat", child, errno);
    }
  }
  ::closedir(dir);
  return first;
}

}  // namespace

Error RemoveAll(const std::string& path) {
  if (path.empty()) return Error();
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return Error();
    return Error::Errno("lstat", path, errno);
  }
  if (!S_ISDIR(st.st_mode)) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return Error::Errno("unlinkat", path, errno);
    return Error();
  }
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return Error::Errno("open", path, errno);
  Error e = RemoveContents(fd, path);
  if (::rmdir(path.c_str()) != 0 && errno != ENOENT) {
    if (e.ok()) e = Error::Errno("unlinkat", path, errno);
  }
  return e;
}

Error WriteAll(int fd, std::string_view data, const std::string& path) {
  while (!data.empty()) {
    ssize_t w = ::write(fd, data.data(), data.size());
    if (w < 0) {
      if (errno == EINTR) continue;
      return Error::Errno("write", path, errno);
    }
    data.remove_prefix(static_cast<size_t>(w));
  }
  return Error();
}

Error CopyFile(const std::string& src, const std::string& dst) {
  UniqueFd in(::open(src.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.valid()) return Error::Errno("open", src, errno);
  struct stat st;
  if (::fstat(in.get(), &st) != 0) return Error::Errno("read", src, errno);
  // Reading a directory fails only at the first read; find out before dst is
  // created or truncated.
  if (S_ISDIR(st.st_mode)) return Error::Errno("read", src, EISDIR);
  ZOL_TRY(MkdirAll(DirName(dst), 0755));
  UniqueFd out(::open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!out.valid()) return Error::Errno("open", dst, errno);
  std::vector<char> buf(128 * 1024);
  for (;;) {
    ssize_t n = ::read(in.get(), buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::Errno("read", src, errno);
    }
    if (n == 0) break;
    ZOL_TRY(WriteAll(out.get(), std::string_view(buf.data(), static_cast<size_t>(n)), dst));
  }
  if (::close(out.Release()) != 0) return Error::Errno("close", dst, errno);
  return Error();
}

Result<std::string> ReadFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return Error::Errno("open", path, errno);
  std::string data;
  struct stat st;
  if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    data.reserve(static_cast<size_t>(st.st_size));
  }
  char buf[64 * 1024];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::Errno("read", path, errno);
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  return data;
}

Error WriteFile(const std::string& path, std::string_view data, mode_t mode) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
  if (!fd.valid()) return Error::Errno("open", path, errno);
  ZOL_TRY(WriteAll(fd.get(), data, path));
  if (::close(fd.Release()) != 0) return Error::Errno("close", path, errno);
  return Error();
}

}  // namespace util
