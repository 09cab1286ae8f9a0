// Paths beneath a root: resolution with openat2 (the walk in beneath_walk.cc
// where the kernel lacks it) and the Root operations built on it.
#include "internal/util/beneath.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "internal/util/beneath_walk.h"
#include "internal/util/files.h"
#include "internal/util/strings.h"

namespace util {

using namespace beneath;

namespace {

std::atomic<bool> g_forced_fallback{false};
std::atomic<bool> g_no_openat2{false};

// Resolves with the kernel where it can. Returns a descriptor or -errno.
int ResolveOpen(int root, std::string_view rel, int flags, mode_t mode, bool follow, bool in_root) {
  if (HoldsNul(rel)) return -EINVAL;
  std::string path = rel.empty() ? std::string(".") : std::string(rel);
  if (!g_forced_fallback.load() && !g_no_openat2.load()) {
    struct open_how how = {};
    how.flags = static_cast<uint64_t>(flags | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
    // O_TMPFILE holds the O_DIRECTORY bit, so it is tested whole.
    bool creates = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
    how.mode = creates ? mode : 0;
    how.resolve = in_root ? RESOLVE_IN_ROOT | RESOLVE_NO_XDEV | RESOLVE_NO_MAGICLINKS
                          : RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    for (int attempt = 0;; ++attempt) {
      long r = ::syscall(SYS_openat2, root, path.c_str(), &how, sizeof how);
      if (r >= 0) return static_cast<int>(r);
      // EAGAIN: a rename raced the kernel's ".." check; the walk is retried.
      if (errno == EAGAIN && attempt < 8) continue;
      if (errno != ENOSYS) return -errno;
      g_no_openat2.store(true);
      break;
    }
  }
  return WalkOpen(root, path, flags, mode, follow, in_root);
}

// The parent directory of rel (links inside followed) and the last name.
struct Parent {
  UniqueFd fd;
  std::string name;  // empty for the root itself
};

int OpenParent(int root, std::string_view rel, Parent& out, bool in_root) {
  if (HoldsNul(rel)) return EINVAL;
  std::deque<std::string> parts = Split(rel);
  if (parts.empty()) {
    out.name.clear();
  } else {
    out.name = parts.back();
    parts.pop_back();
  }
  std::string parent;
  for (const std::string& p : parts) {
    if (!parent.empty()) parent += '/';
    parent += p;
  }
  int fd = ResolveOpen(root, parent, O_PATH | O_DIRECTORY, 0, true, in_root);
  if (fd < 0) return -fd;
  out.fd.Reset(fd);
  return 0;
}

}  // namespace

void SetBeneathFallbackForTesting(bool on) { g_forced_fallback.store(on); }

bool BeneathUsesOpenat2() {
  if (g_forced_fallback.load()) return false;
  if (!g_no_openat2.load()) {
    // Probe once so the answer reflects this kernel.
    struct open_how how = {};
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH;
    long r = ::syscall(SYS_openat2, AT_FDCWD, ".", &how, sizeof how);
    if (r >= 0) ::close(static_cast<int>(r));
    else if (errno == ENOSYS) g_no_openat2.store(true);
  }
  return !g_no_openat2.load();
}

Result<Root> Root::Open(const std::string& path, Scope scope) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return Error::Errno("open", path, errno);
  return Root(std::move(fd), path, scope == Scope::kInRoot);
}

Result<Root> Root::Sub(std::string_view rel) const {
  ZOL_ASSIGN_OR_RETURN(UniqueFd fd, OpenDir(rel));
  return Root(std::move(fd), PathOf(rel), in_root_);
}

std::string Root::PathOf(std::string_view rel) const {
  while (!rel.empty() && rel.front() == '/') rel.remove_prefix(1);
  if (rel.empty()) return path_;
  if (!path_.empty() && path_.back() == '/') return path_ + std::string(rel);
  return path_ + "/" + std::string(rel);
}

Result<UniqueFd> Root::OpenFile(std::string_view rel, int flags, mode_t mode,
                                Follow follow) const {
  int fd = ResolveOpen(fd_.get(), rel, flags, mode, follow == Follow::kYes, in_root_);
  if (fd < 0) return Error::Errno("open", PathOf(rel), -fd);
  return UniqueFd(fd);
}

Result<UniqueFd> Root::OpenDir(std::string_view rel) const {
  return OpenFile(rel, O_RDONLY | O_DIRECTORY, 0, Follow::kYes);
}

Error Root::Mkdir(std::string_view rel, mode_t mode) const {
  Parent p;
  if (int err = OpenParent(fd_.get(), rel, p, in_root_); err != 0) return Error::Errno("mkdir", PathOf(rel), err);
  if (p.name.empty() || p.name == "..") return Error::Errno("mkdir", PathOf(rel), EEXIST);
  if (::mkdirat(p.fd.get(), p.name.c_str(), mode) != 0) return Error::Errno("mkdir", PathOf(rel), errno);
  return Error();
}

Error Root::MkdirAll(std::string_view rel, mode_t mode) const {
  int fd = ResolveOpen(fd_.get(), rel, O_PATH | O_DIRECTORY, 0, true, in_root_);
  if (fd >= 0) {
    ::close(fd);
    return Error();
  }
  if (-fd != ENOENT) return Error::Errno("mkdir", PathOf(rel), -fd);
  std::deque<std::string> parts = Split(rel);
  if (parts.empty()) return Error::Errno("mkdir", PathOf(rel), ENOENT);
  std::string last = parts.back();
  parts.pop_back();
  std::string parent;
  for (const std::string& p : parts) {
    if (!parent.empty()) parent += '/';
    parent += p;
  }
  ZOL_TRY(MkdirAll(parent, mode));
  if (last == "..") {
    fd = ResolveOpen(fd_.get(), rel, O_PATH | O_DIRECTORY, 0, true, in_root_);
    if (fd < 0) return Error::Errno("mkdir", PathOf(rel), -fd);
    ::close(fd);
    return Error();
  }
  Parent p;
  if (int err = OpenParent(fd_.get(), rel, p, in_root_); err != 0) return Error::Errno("mkdir", PathOf(rel), err);
  if (::mkdirat(p.fd.get(), p.name.c_str(), mode) != 0) {
    int err = errno;
    // Made meanwhile, or a link inside to a directory: both are success.
    if (err == EEXIST) {
      fd = ResolveOpen(fd_.get(), rel, O_PATH | O_DIRECTORY, 0, true, in_root_);
      if (fd >= 0) {
        ::close(fd);
        return Error();
      }
      err = -fd == ENOENT ? EEXIST : -fd;
    }
    return Error::Errno("mkdir", PathOf(rel), err);
  }
  return Error();
}

Error Root::Symlink(std::string_view target, std::string_view rel) const {
  std::string shown = std::string(target) + " " + PathOf(rel);
  Parent p;
  if (int err = OpenParent(fd_.get(), rel, p, in_root_); err != 0) return Error::Errno("symlink", shown, err);
  if (HoldsNul(target)) return Error::Errno("symlink", shown, EINVAL);
  if (p.name.empty() || p.name == "..") return Error::Errno("symlink", shown, EEXIST);
  std::string t(target);
  if (::symlinkat(t.c_str(), p.fd.get(), p.name.c_str()) != 0) return Error::Errno("symlink", shown, errno);
  return Error();
}

Error Root::Link(std::string_view old_rel, std::string_view new_rel) const {
  std::string shown = PathOf(old_rel) + " " + PathOf(new_rel);
  Parent o, n;
  if (int err = OpenParent(fd_.get(), old_rel, o, in_root_); err != 0) return Error::Errno("link", shown, err);
  if (int err = OpenParent(fd_.get(), new_rel, n, in_root_); err != 0) return Error::Errno("link", shown, err);
  // ".." (or the root) as a last name would reach past what was resolved.
  if (o.name.empty() || o.name == "..") return Error::Errno("link", shown, EPERM);
  if (n.name.empty() || n.name == "..") return Error::Errno("link", shown, EEXIST);
  if (::linkat(o.fd.get(), o.name.c_str(), n.fd.get(), n.name.c_str(), 0) != 0) {
    return Error::Errno("link", shown, errno);
  }
  return Error();
}

Error Root::Rename(std::string_view old_rel, std::string_view new_rel) const {
  std::string shown = PathOf(old_rel) + " " + PathOf(new_rel);
  Parent o, n;
  if (int err = OpenParent(fd_.get(), old_rel, o, in_root_); err != 0) return Error::Errno("rename", shown, err);
  if (int err = OpenParent(fd_.get(), new_rel, n, in_root_); err != 0) return Error::Errno("rename", shown, err);
  if (o.name.empty() || o.name == ".." || n.name.empty() || n.name == "..") {
    return Error::Errno("rename", shown, EBUSY);
  }
  if (::renameat(o.fd.get(), o.name.c_str(), n.fd.get(), n.name.c_str()) != 0) {
    return Error::Errno("rename", shown, errno);
  }
  return Error();
}

Result<struct stat> Root::Lstat(std::string_view rel) const {
  int fd = ResolveOpen(fd_.get(), rel, O_PATH, 0, false, in_root_);
  if (fd < 0) return Error::Errno("lstat", PathOf(rel), -fd);
  UniqueFd f(fd);
  struct stat st;
  if (::fstat(f.get(), &st) != 0) return Error::Errno("lstat", PathOf(rel), errno);
  return st;
}

Result<struct stat> Root::Stat(std::string_view rel) const {
  int fd = ResolveOpen(fd_.get(), rel, O_PATH, 0, true, in_root_);
  if (fd < 0) return Error::Errno("stat", PathOf(rel), -fd);
  UniqueFd f(fd);
  struct stat st;
  if (::fstat(f.get(), &st) != 0) return Error::Errno("stat", PathOf(rel), errno);
  return st;
}

Result<std::string> Root::ReadFile(std::string_view rel, size_t max_bytes) const {
  ZOL_ASSIGN_OR_RETURN(UniqueFd fd, OpenFile(rel, O_RDONLY, 0, Follow::kYes));
  return ReadAll(fd.get(), PathOf(rel), max_bytes);
}

Result<std::string> Root::Readlink(std::string_view rel) const {
  int fd = ResolveOpen(fd_.get(), rel, O_PATH, 0, false, in_root_);
  if (fd < 0) return Error::Errno("readlink", PathOf(rel), -fd);
  UniqueFd f(fd);
  std::string target;
  if (int err = ReadLinkFd(f.get(), target); err != 0) {
    // readlinkat on something that is not a link reports ENOENT; say EINVAL
    // as readlink(2) does.
    return Error::Errno("readlink", PathOf(rel), err == ENOENT ? EINVAL : err);
  }
  return target;
}

Error Root::Chmod(std::string_view rel, mode_t mode) const {
  int fd = ResolveOpen(fd_.get(), rel, O_PATH, 0, false, in_root_);
  if (fd < 0) return Error::Errno("chmod", PathOf(rel), -fd);
  UniqueFd f(fd);
  struct stat st;
  if (::fstat(f.get(), &st) != 0) return Error::Errno("chmod", PathOf(rel), errno);
  if (S_ISLNK(st.st_mode)) return Error::Errno("chmod", PathOf(rel), ELOOP);
  // An O_PATH descriptor cannot be fchmod'ed; its /proc entry names exactly
  // the inode already resolved, so nothing is looked up by path again.
  std::string proc = Sprintf("/proc/self/fd/%d", f.get());
  if (::fchmodat(AT_FDCWD, proc.c_str(), mode, 0) == 0) return Error();
  if (errno != ENOENT) return Error::Errno("chmod", PathOf(rel), errno);
  // No /proc: reopen the file or directory itself (never a device or FIFO,
  // whose open has side effects).
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return Error::Errno("chmod", PathOf(rel), EOPNOTSUPP);
  fd = ResolveOpen(fd_.get(), rel, O_RDONLY | O_NONBLOCK, 0, false, in_root_);
  if (fd < 0) return Error::Errno("chmod", PathOf(rel), -fd);
  UniqueFd g(fd);
  if (::fchmod(g.get(), mode) != 0) return Error::Errno("chmod", PathOf(rel), errno);
  return Error();
}

Error Root::Remove(std::string_view rel) const {
  Parent p;
  if (int err = OpenParent(fd_.get(), rel, p, in_root_); err != 0) return Error::Errno("remove", PathOf(rel), err);
  if (p.name.empty() || p.name == "..") return Error::Errno("remove", PathOf(rel), EBUSY);
  if (::unlinkat(p.fd.get(), p.name.c_str(), 0) == 0) return Error();
  int err = errno;
  if (err == EISDIR || err == EPERM) {
    if (::unlinkat(p.fd.get(), p.name.c_str(), AT_REMOVEDIR) == 0) return Error();
    int err2 = errno;
    if (err2 != ENOTDIR) err = err2;
  }
  return Error::Errno("remove", PathOf(rel), err);
}

Error Root::RemoveAll(std::string_view rel) const {
  int fd = ResolveOpen(fd_.get(), rel, O_RDONLY | O_DIRECTORY, 0, false, in_root_);
  if (fd < 0) {
    int err = -fd;
    if (err == ENOENT) return Error();
    // Not a directory (or a link): a single remove.
    if (err == ENOTDIR || err == ELOOP) {
      Error e = Remove(rel);
      if (!e.ok() && e.Is(ENOENT)) return Error();
      return e;
    }
    return Error::Errno("open", PathOf(rel), err);
  }
  UniqueFd d(fd);
  ZOL_TRY(RemoveDirContents(std::move(d), PathOf(rel)));
  if (Split(rel).empty()) return Error();  // the root itself is only emptied
  Error e = Remove(rel);
  if (!e.ok() && e.Is(ENOENT)) return Error();
  return e;
}

Result<bool> Root::StaysInside(std::string_view rel) const {
  if (HoldsNul(rel)) return Error::Errno("lstat", PathOf(rel), EINVAL);
  if (!rel.empty() && rel[0] == '/') return false;
  std::deque<std::string> todo = Split(rel);
  std::vector<UniqueFd> stack;
  auto cur = [&] { return stack.empty() ? fd_.get() : stack.back().get(); };
  int links = 0;
  // Depth of names below the last real directory that do not exist (or are
  // not directories): they are walked lexically from there.
  int virtual_depth = 0;
  while (!todo.empty()) {
    std::string c = std::move(todo.front());
    todo.pop_front();
    if (c == "..") {
      if (virtual_depth > 0) {
        --virtual_depth;
      } else {
        if (stack.empty()) return false;
        stack.pop_back();
      }
      continue;
    }
    if (virtual_depth > 0) {
      ++virtual_depth;
      continue;
    }
    UniqueFd f(::openat(cur(), c.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!f.valid()) {
      if (errno == ENOENT || errno == ENOTDIR) {
        virtual_depth = 1;
        continue;
      }
      return Error::Errno("lstat", PathOf(rel), errno);
    }
    struct stat st;
    if (::fstat(f.get(), &st) != 0) return Error::Errno("lstat", PathOf(rel), errno);
    if (S_ISLNK(st.st_mode)) {
      // A loop leads nowhere.
      if (++links > kMaxLinks) return true;
      std::string target;
      if (int err = ReadLinkFd(f.get(), target); err != 0) return Error::Errno("readlink", PathOf(rel), err);
      if (!target.empty() && target[0] == '/') return false;
      PrependLink(todo, target);
      continue;
    }
    if (!S_ISDIR(st.st_mode)) {
      virtual_depth = 1;
      continue;
    }
    stack.push_back(std::move(f));
  }
  return true;
}

}  // namespace util
