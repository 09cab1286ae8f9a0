// The fallback walk for kernels without openat2: a path resolved beneath a
// root one component at a time, with the kernel's link and ".." rules.
#include "internal/util/beneath_walk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <vector>

#include "internal/util/fd.h"
#include "internal/util/files.h"

namespace util::beneath {

// The components of rel that name something: empty and "." dropped, ".."
// kept (it means the parent of what the walk has reached).
std::deque<std::string> Split(std::string_view rel) {
  std::deque<std::string> out;
  size_t i = 0;
  while (i <= rel.size()) {
    size_t j = rel.find('/', i);
    if (j == std::string_view::npos) j = rel.size();
    std::string_view c = rel.substr(i, j - i);
    if (!c.empty() && c != ".") out.emplace_back(c);
    i = j + 1;
  }
  return out;
}

// The system calls stop at a NUL byte, so a component "..\0" would pass every
// check on the name here and still reach the parent as "..".
bool HoldsNul(std::string_view s) { return s.find('\0') != std::string_view::npos; }

void PrependLink(std::deque<std::string>& todo, const std::string& target) {
  std::deque<std::string> parts = Split(target);
  todo.insert(todo.begin(), parts.begin(), parts.end());
}

// readlinkat on an O_PATH descriptor of the link itself.
int ReadLinkFd(int fd, std::string& out) {
  std::vector<char> buf(256);
  for (;;) {
    ssize_t n = ::readlinkat(fd, "", buf.data(), buf.size());
    if (n < 0) return errno;
    if (static_cast<size_t>(n) < buf.size()) {
      out.assign(buf.data(), static_cast<size_t>(n));
      return 0;
    }
    buf.resize(buf.size() * 2);
  }
}

// The walk done one component at a time: each component is opened with
// O_NOFOLLOW relative to a directory already known to be beneath the root, a
// link is read and its text walked in its place, ".." pops back to the
// directory the walk came from and fails with EXDEV above the root, as does
// an absolute link. Returns a descriptor or -errno.
int WalkOpen(int root, std::string_view rel, int flags, mode_t mode, bool follow, bool in_root) {
  if (!rel.empty() && rel[0] == '/' && !in_root) return -EXDEV;
  std::deque<std::string> todo = Split(rel);
  std::vector<UniqueFd> stack;
  auto cur = [&] { return stack.empty() ? root : stack.back().get(); };
  // In a root of its own nothing mounted below is entered: what the walk
  // opens must lie on the root's own mount.
  std::optional<uint64_t> root_mount = in_root ? MountKey(root) : std::nullopt;
  auto on_root_mount = [&](int fd) { return !in_root || (root_mount && MountKey(fd) == root_mount); };
  auto open_last = [&](const std::string& c) {
    int fd = ::openat(cur(), c.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) return -errno;
    if (!on_root_mount(fd)) {
      ::close(fd);
      return -EXDEV;
    }
    return fd;
  };
  int links = 0;
  while (!todo.empty()) {
    std::string c = std::move(todo.front());
    todo.pop_front();
    bool last = todo.empty();
    if (c == "..") {
      if (stack.empty()) {
        if (in_root) continue;  // ".." of "/" is "/"
        return -EXDEV;
      }
      stack.pop_back();
      continue;
    }
    if (last && !follow) return open_last(c);
    UniqueFd f(::openat(cur(), c.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!f.valid()) {
      int err = errno;
      if (last && err == ENOENT && (flags & O_CREAT)) return open_last(c);
      return -err;
    }
    if (!on_root_mount(f.get())) return -EXDEV;
    struct stat st;
    if (::fstat(f.get(), &st) != 0) return -errno;
    if (S_ISLNK(st.st_mode)) {
      if (++links > kMaxLinks) return -ELOOP;
      std::string target;
      if (int err = ReadLinkFd(f.get(), target); err != 0) return -err;
      if (target.empty()) return -ENOENT;
      if (target[0] == '/') {
        if (!in_root) return -EXDEV;
        stack.clear();  // an absolute link starts again at the root
      }
      PrependLink(todo, target);
      continue;
    }
    if (last) return open_last(c);
    if (!S_ISDIR(st.st_mode)) return -ENOTDIR;
    stack.push_back(std::move(f));
  }
  int fd = ::openat(cur(), ".", flags | O_CLOEXEC, mode);
  return fd >= 0 ? fd : -errno;
}

}  // namespace util::beneath
