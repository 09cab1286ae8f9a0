#include "internal/util/replace_tree.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "internal/util/files.h"
#include "internal/util/log.h"
#include "internal/util/paths.h"

namespace util {

namespace {

Error Wrapped(Error e, const std::string& context) { return context.empty() ? e : e.Wrap(context); }

int Rename(const ReplaceTreeOptions& opts, const std::string& from, const std::string& to, unsigned flags) {
  if (opts.rename) return opts.rename(from.c_str(), to.c_str(), flags);
  return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), flags);
}

}  // namespace

Result<std::string> SetAside(const std::string& path, std::string_view infix, const std::string& leaf) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return std::string();
    return Error::Errno("lstat", path, errno);
  }
  std::string holder = path + std::string(infix) + "XXXXXX";
  if (::mkdtemp(holder.data()) == nullptr) return Error::Errno("mkdir", holder, errno);
  const std::string moved = holder + "/" + leaf;
  if (::rename(path.c_str(), moved.c_str()) != 0) {
    Error e = Error::Errno("rename", path + " " + moved, errno);
    ::rmdir(holder.c_str());
    return e;
  }
  return moved;
}

Result<std::string> MoveAside(const std::string& path, const std::string& prefix) {
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned char r[6];
    if (::getrandom(r, sizeof r, 0) != sizeof r) return Error::Errno("getrandom", path, errno);
    std::string moved = prefix;
    for (unsigned char c : r) moved += kChars[c % (sizeof kChars - 1)];
    if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, moved.c_str(), RENAME_NOREPLACE) == 0) return moved;
    if (errno == ENOENT) return std::string();
    if (errno != EEXIST) return Error::Errno("rename", path + " " + moved, errno);
  }
  return Error::Errno("rename", path, EEXIST);
}

Result<std::string> ReplaceTree(const std::string& staging, const std::string& target,
                                const ReplaceTreeOptions& opts) {
  struct stat st;
  if (::lstat(target.c_str(), &st) != 0) {
    if (Rename(opts, staging, target, 0) != 0) {
      return Wrapped(Error::Errno("rename", staging + " " + target, errno), opts.commit_context);
    }
    return std::string();
  }
  if (opts.exchange) {
    if (Rename(opts, staging, target, RENAME_EXCHANGE) == 0) return staging;
    if (errno != EINVAL && errno != ENOSYS) {
      return Wrapped(Error::Errno("rename", staging + " " + target, errno), opts.commit_context);
    }
  }
  // Without an exchange the old tree is moved aside first and goes back
  // when the new one cannot take its place.
  Result<std::string> aside = SetAside(target, opts.infix, opts.leaf);
  if (!aside.ok()) return Wrapped(aside.error(), opts.aside_context);
  const std::string holder = DirName(*aside);
  if (Rename(opts, staging, target, 0) != 0) {
    Error e = Error::Errno("rename", staging + " " + target, errno);
    if (Rename(opts, *aside, target, 0) != 0) {
      Warn("restore %s: %v", target, Error::Errno("rename", *aside + " " + target, errno));
    } else {
      ::rmdir(holder.c_str());
    }
    return Wrapped(e, opts.commit_context);
  }
  return holder;
}

TreeGuard::~TreeGuard() {
  if (path_.empty()) return;
  Error e = RemoveAll(path_);
  if (!e.ok() && !what_.empty()) Warn("%s %s: %v", what_, path_, e);
}

}  // namespace util
