#include "internal/util/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "internal/util/dir_list.h"
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

std::optional<uint64_t> MountKey(int fd) {
  struct statx stx;
  if (::statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &stx) != 0) return std::nullopt;
  if ((stx.stx_mask & STATX_MNT_ID) != 0) return stx.stx_mnt_id;
  // Bit 63 keeps a device number from ever equalling a mount id.
  return (uint64_t{1} << 63) | makedev(stx.stx_dev_major, stx.stx_dev_minor);
}

namespace {

// Opens the directory `name` beneath `dirfd` for reading without following a
// link. One its owner may not read or search (mode 000) is first made
// readable: the change goes through a descriptor of that very entry, so a
// link put in its place is never followed.
int OpenDirForRemoval(int dirfd, const char* name) {
  int fd = ::openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0 || errno != EACCES) return fd;
  UniqueFd entry(::openat(dirfd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!entry.valid() || ::fstat(entry.get(), &st) != 0 || st.st_uid != ::geteuid()) {
    errno = EACCES;
    return -1;
  }
  if (::fchmodat(entry.get(), "", (st.st_mode & 07777) | S_IRWXU, AT_EMPTY_PATH) != 0 &&
      ::fchmodat(AT_FDCWD, ("/proc/self/fd/" + std::to_string(entry.get())).c_str(),
                 (st.st_mode & 07777) | S_IRWXU, 0) != 0) {
    errno = EACCES;
    return -1;
  }
  return ::openat(entry.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// One directory on the way down from the top of a removal: where it is, and
// the subdirectories still to empty and remove.
struct RemovalLevel {
  dev_t dev;
  ino_t ino;
  std::string name;  // in its parent
  std::string path;  // as messages show it
  std::vector<std::string> subdirs;
  size_t next = 0;
};

// Reads the directory open as `dirfd`, unlinks every entry that is not a
// directory and returns the level with the directories left to descend into.
RemovalLevel ReadLevel(int dirfd, std::string name, std::string path, Error& first) {
  RemovalLevel level{0, 0, std::move(name), std::move(path), {}, 0};
  struct stat st;
  if (::fstat(dirfd, &st) == 0) {
    level.dev = st.st_dev;
    level.ino = st.st_ino;
    // A directory its owner may not list or change (a package's mode 0500,
    // say) is about to go anyway: give the owner what emptying it takes.
    if ((st.st_mode & S_IRWXU) != S_IRWXU && st.st_uid == ::geteuid()) {
      ::fchmod(dirfd, (st.st_mode & 07777) | S_IRWXU);
    }
  }
  Result<std::vector<std::string>> names = ListDir(dirfd, level.path);
  if (!names.ok()) {
    if (first.ok()) first = names.error();
    return level;
  }
  for (std::string& entry : *names) {
    if (::unlinkat(dirfd, entry.c_str(), 0) == 0 || errno == ENOENT) continue;
    if (errno == EISDIR || errno == EPERM) {
      level.subdirs.push_back(std::move(entry));
    } else if (first.ok()) {
      first = Error::Errno("unlinkat", level.path + "/" + entry, errno);
    }
  }
  return level;
}

}  // namespace

// Walks down and back up through ".." with one descriptor at a time, so a
// tree as deep as a hostile package can make it is removed whatever the
// descriptor limit; each step up is checked to land where it came from.
Error RemoveDirContents(UniqueFd top, const std::string& path) {
  Error first;
  UniqueFd cur = std::move(top);
  const std::optional<uint64_t> top_mount = MountKey(cur.get());
  std::vector<RemovalLevel> levels;
  levels.push_back(ReadLevel(cur.get(), "", path, first));
  while (true) {
    RemovalLevel& level = levels.back();
    if (level.next < level.subdirs.size()) {
      const std::string& name = level.subdirs[level.next++];
      std::string child = level.path + "/" + name;
      UniqueFd sub(OpenDirForRemoval(cur.get(), name.c_str()));
      if (!sub.valid()) {
        if (errno != ENOENT && first.ok()) first = Error::Errno("open", child, errno);
        continue;
      }
      if (!top_mount || MountKey(sub.get()) != top_mount) {
        if (first.ok()) first = Error::Errno("remove", child, EBUSY);
        continue;
      }
      cur = std::move(sub);
      RemovalLevel next = ReadLevel(cur.get(), name, std::move(child), first);
      levels.push_back(std::move(next));
      continue;
    }
    if (levels.size() == 1) return first;
    RemovalLevel done = std::move(levels.back());
    levels.pop_back();
    const RemovalLevel& parent = levels.back();
    UniqueFd up(::openat(cur.get(), "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!up.valid() || ::fstat(up.get(), &st) != 0) {
      if (first.ok()) first = Error::Errno("open", done.path + "/..", errno);
      return first;
    }
    if (st.st_dev != parent.dev || st.st_ino != parent.ino) {
      // Moved away meanwhile: going on would remove whatever is there now.
      if (first.ok()) first = Error::Msg("remove " + done.path + ": directory moved during removal");
      return first;
    }
    cur = std::move(up);
    if (::unlinkat(cur.get(), done.name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT && first.ok()) {
      first = Error::Errno("unlinkat", done.path, errno);
    }
  }
}

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
  UniqueFd fd(OpenDirForRemoval(AT_FDCWD, path.c_str()));
  if (!fd.valid()) return Error::Errno("open", path, errno);
  Error e = RemoveDirContents(std::move(fd), path);
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

Error CopyBytes(int in, const std::string& src, int out, const std::string& dst) {
  bool kernel_copy = true;
  std::vector<char> buf;
  for (;;) {
    if (kernel_copy) {
      ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
      if (n > 0) continue;
      if (n == 0) return Error();
      if (errno == EINTR) continue;
      // Whatever the kernel refused, read and write say which side failed:
      // a full disk is the destination's, not the source's.
      kernel_copy = false;
      buf.resize(1 << 16);
    }
    ssize_t n = ::read(in, buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::Errno("read", src, errno);
    }
    if (n == 0) return Error();
    ZOL_TRY(WriteAll(out, std::string_view(buf.data(), static_cast<size_t>(n)), dst));
  }
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
  ZOL_TRY(CopyBytes(in.get(), src, out.get(), dst));
  if (::close(out.Release()) != 0) return Error::Errno("close", dst, errno);
  return Error();
}

Result<std::string> ReadFile(const std::string& path, int extra_flags, size_t max_bytes) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | extra_flags));
  if (!fd.valid()) return Error::Errno("open", path, errno);
  return ReadAll(fd.get(), path, max_bytes);
}

Result<std::string> ReadRegularFile(const std::string& path, size_t max_bytes) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return Error::Errno("open", path, errno);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return Error::Errno("stat", path, errno);
  if (S_ISDIR(st.st_mode)) return Error::Errno("read", path, EISDIR);
  if (!S_ISREG(st.st_mode)) return Error::Msg("read " + path + ": not a regular file");
  return ReadAll(fd.get(), path, max_bytes);
}

Result<std::string> ReadAll(int fd, const std::string& path, size_t max_bytes) {
  std::string data;
  // A file larger than the memory that can be had (a sparse one, say) is an
  // error like any other, not the end of the process.
  try {
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
        static_cast<uint64_t>(st.st_size) <= max_bytes) {
      data.reserve(static_cast<size_t>(st.st_size));
    }
    char buf[64 * 1024];
    for (;;) {
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0) {
        if (errno == EINTR) continue;
        return Error::Errno("read", path, errno);
      }
      if (n == 0) break;
      if (static_cast<size_t>(n) > max_bytes - data.size()) {
        return Error::Msg("read " + path + ": file larger than " + std::to_string(max_bytes) + " bytes");
      }
      data.append(buf, static_cast<size_t>(n));
    }
  } catch (const std::bad_alloc&) {
    return Error::Errno("read", path, ENOMEM);
  } catch (const std::length_error&) {
    return Error::Errno("read", path, ENOMEM);
  }
  return data;
}

Error WriteAndClose(UniqueFd fd, std::string_view data, const std::string& path) {
  ZOL_TRY(WriteAll(fd.get(), data, path));
  if (::close(fd.Release()) != 0) return Error::Errno("close", path, errno);
  return Error();
}

Error WriteFile(const std::string& path, std::string_view data, mode_t mode, int extra_flags) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | extra_flags, mode));
  if (!fd.valid()) return Error::Errno("open", path, errno);
  return WriteAndClose(std::move(fd), data, path);
}

}  // namespace util
