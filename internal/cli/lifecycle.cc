#include "internal/cli/lifecycle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <vector>

#include "internal/cli/validators.h"
#include "internal/util/beneath.h"
#include "internal/util/command_policy.h"
#include "internal/util/dir_list.h"
#include "internal/util/fd.h"
#include "internal/util/files.h"
#include "internal/util/log.h"
#include "internal/util/paths.h"
#include "internal/util/process.h"
#include "internal/util/strings.h"

namespace cli {

namespace {

std::string Child(const std::string& rel, const std::string& name) {
  return rel.empty() ? name : rel + "/" + name;
}

// The entry names of the directory at rel beneath root, in byte order.
util::Result<std::vector<std::string>> ListDir(const util::Root& root, const std::string& rel) {
  ZOL_ASSIGN_OR_RETURN(const util::UniqueFd fd, root.OpenDir(rel));
  return util::ListDir(fd.get(), root.PathOf(rel));
}

// Both trees are reached only through descriptors beneath their tops: the
// source came from a package, and a link the copy has just recreated in the
// destination must never redirect a later write.
//
// This walk stays apart from util::CopyTree, which shares only its byte copy.
// That copier reads its tree by path and can follow a link out of it, as the
// builder must to gather the files a user's directory names; one walk for
// both would put that by-path, link-following read one option away from a
// package's tree. The package's own rules differ besides: directories get
// their source's bits exactly, setuid and sticky bits are not copied to
// files, what cannot be removed from a link's place is warned about (the
// link's creation then fails on it), and the destination appears only with
// the first entry.
class PackageTreeCopy {
 public:
  PackageTreeCopy(const util::Root& src, std::string dst_path) : src_(src), dst_path_(std::move(dst_path)) {}

  util::Error CopyLevel(const std::string& rel) {
    ZOL_ASSIGN_OR_RETURN(const std::vector<std::string> names, ListDir(src_, rel));
    for (const std::string& name : names) {
      std::string s = Child(rel, name);
      ZOL_ASSIGN_OR_RETURN(const struct stat st, src_.Lstat(s));
      ZOL_TRY(OpenDst());
      if (S_ISLNK(st.st_mode)) {
        ZOL_TRY(CopyLink(rel, s));
      } else if (S_ISDIR(st.st_mode)) {
        ZOL_TRY(dst_->MkdirAll(s, 0755));
        ZOL_TRY(dst_->Chmod(s, st.st_mode & 0777));
        ZOL_TRY(CopyLevel(s));
      } else {
        ZOL_TRY(CopyFileAt(rel, s));
      }
    }
    return util::Error();
  }

 private:
  // The destination appears only with the first entry to put in it.
  util::Error OpenDst() {
    if (dst_.has_value()) return util::Error();
    ZOL_TRY(util::MkdirAll(dst_path_, 0755));
    ZOL_ASSIGN_OR_RETURN(dst_, util::Root::Open(dst_path_));
    return util::Error();
  }

  util::Error CopyLink(const std::string& parent, const std::string& s) {
    ZOL_ASSIGN_OR_RETURN(const std::string target, src_.Readlink(s));
    ZOL_TRY(dst_->MkdirAll(parent, 0755));
    util::Error err = dst_->Remove(s);
    if (!err.ok() && !err.Is(ENOENT)) {
      util::Warn("remove existing symlink target %s: %v", dst_->PathOf(s), err);
    }
    return dst_->Symlink(target, s);
  }

  util::Error CopyFileAt(const std::string& parent, const std::string& s) {
    // O_NONBLOCK: a FIFO in the tree must not hang the copy at open.
    ZOL_ASSIGN_OR_RETURN(const util::UniqueFd in, src_.OpenFile(s, O_RDONLY | O_NONBLOCK | O_NOCTTY));
    struct stat st;
    if (::fstat(in.get(), &st) != 0) return util::Error::Errno("stat", src_.PathOf(s), errno);
    if (!S_ISREG(st.st_mode)) {
      return util::Error::Msg("copy " + src_.PathOf(s) + ": not a regular file");
    }
    ZOL_TRY(dst_->MkdirAll(parent, 0755));
    ZOL_ASSIGN_OR_RETURN(util::UniqueFd out, dst_->OpenFile(s, O_WRONLY | O_CREAT | O_TRUNC, st.st_mode & 0777));
    const std::string d = dst_->PathOf(s);
    ZOL_TRY(util::CopyBytes(in.get(), src_.PathOf(s), out.get(), d));
    if (::close(out.Release()) != 0) return util::Error::Errno("close", d, errno);
    return util::Error();
  }

  const util::Root& src_;
  std::string dst_path_;
  std::optional<util::Root> dst_;
};

util::Error Escapes(const std::string& p, const std::string& dir) {
  return util::Error::Msg("lifecycle script path " + util::Quote(p) + " escapes install directory " +
                          util::Quote(dir));
}

// Through a descriptor opened beneath the tree, so the mode change lands on
// the file the script really is and never outside.
util::Error MakeExecutable(const util::Root& root, const std::string& rel, const std::string& p) {
  ZOL_ASSIGN_OR_RETURN(const util::UniqueFd fd,
                       root.OpenFile(rel, O_RDONLY | O_NONBLOCK | O_NOCTTY, 0, util::Root::Follow::kYes));
  if (::fchmod(fd.get(), 0755) != 0) return util::Error::Errno("chmod", p, errno);
  return util::Error();
}

}  // namespace

util::Error copyDirN(const std::string& src, const std::string& dst) {
  ZOL_ASSIGN_OR_RETURN(const util::Root src_root, util::Root::Open(src));
  PackageTreeCopy copy(src_root, dst);
  return copy.CopyLevel("");
}

namespace {

// What the copy would have changed in a moved tree: the top directory is
// made anew with 0755 and files get their bits less the umask. Walked through
// descriptors without following links, like the copy.
util::Error applyCopyModes(int dirfd, const std::string& shown, mode_t mask) {
  ZOL_ASSIGN_OR_RETURN(const std::vector<std::string> names, util::ListDir(dirfd, shown));
  for (const std::string& name : names) {
    const std::string path = shown + "/" + name;
    struct stat st;
    if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return util::Error::Errno("stat", path, errno);
    if (S_ISDIR(st.st_mode)) {
      util::UniqueFd sub(::openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!sub.valid()) return util::Error::Errno("open", path, errno);
      ZOL_TRY(applyCopyModes(sub.get(), path, mask));
    } else if (S_ISREG(st.st_mode) && (st.st_mode & mask & 0777) != 0) {
      if (::fchmodat(dirfd, name.c_str(), st.st_mode & 0777 & ~mask, 0) != 0) {
        return util::Error::Errno("chmod", path, errno);
      }
    }
  }
  return util::Error();
}

}  // namespace

util::Error moveDirN(const std::string& src, const std::string& dst) {
  struct stat st;
  if (::lstat(src.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return copyDirN(src, dst);
  ZOL_ASSIGN_OR_RETURN(const std::vector<std::string> names, util::ListDir(src));
  if (names.empty()) return util::Error();
  if (::rename(src.c_str(), dst.c_str()) != 0) {
    if (errno == EXDEV) return copyDirN(src, dst);
    return util::Error::Errno("rename", src + " " + dst, errno);
  }
  const mode_t mask = ::umask(0);
  ::umask(mask);
  util::UniqueFd top(::open(dst.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!top.valid()) return util::Error::Errno("open", dst, errno);
  if (::fchmod(top.get(), 0755 & ~mask) != 0) return util::Error::Errno("chmod", dst, errno);
  return applyCopyModes(top.get(), dst, mask);
}

util::Error runLifecycleScript(const std::string& script, const std::string& dir) {
  std::string p = util::HasPrefix(script, "/") ? util::CleanPath(script)
                                               : util::CleanPath(util::JoinPath(dir, script));
  std::string base = util::CleanPath(dir);
  if (p != base && !util::HasPrefix(p, base + "/")) return Escapes(p, dir);
  std::string rel = p == base ? "" : p.substr(base.size() + 1);

  util::Result<util::Root> root = util::Root::Open(base);
  if (!root.ok()) {
    if (root.error().Is(ENOENT)) {
      util::Info("[warn] Lifecycle script not found: %s (skipping)", p);
      return util::Error();
    }
    return root.error().Wrap("lifecycle script " + p);
  }
  // The lexical test above cannot see a link in the tree that leads out of it.
  // A NUL byte makes a path no file can have: its look-ups fail like any
  // other status failure and the command validator refuses it below.
  util::Result<bool> inside = root->StaysInside(rel);
  if (!inside.ok() && p.find('\0') == std::string::npos) return inside.error().Wrap("lifecycle script " + p);
  if (inside.ok() && !*inside) return Escapes(p, dir);

  util::Result<struct stat> st = root->Stat(rel);
  if (!st.ok() && st.error().Is(ENOENT)) {
    util::Info("[warn] Lifecycle script not found: %s (skipping)", p);
    return util::Error();
  }

  util::Error chmod_err = MakeExecutable(*root, rel, p);
  if (!chmod_err.ok()) util::Warn("chmod lifecycle script %s: %v", p, chmod_err);

  // A path without "/" would be looked up on PATH instead of in the tree.
  std::string program = p.find('/') == std::string::npos ? "./" + p : p;
  ZOL_ASSIGN_OR_RETURN(util::Command cmd, newValidatedCommand(program));
  cmd.env = util::EnvironWith("ZOL_INSTALL_PATH", dir);
  cmd.stdout_mode = util::Stdio::kInherit;
  cmd.stderr_mode = util::Stdio::kInherit;
  ZOL_TRY(util::RunProcess(cmd), "lifecycle script " + p);
  return util::Error();
}

}  // namespace cli
