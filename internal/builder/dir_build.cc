// The directory road: a plain tree copied under "files", every symbolic link
// replaced by the file it points to.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "internal/builder/builder.h"
#include "internal/builder/pack.h"
#include "internal/builder/tree_walk.h"
#include "internal/builder/validate.h"
#include "internal/util/fd.h"
#include "internal/util/files.h"
#include "internal/util/paths.h"
#include "internal/util/strings.h"
#include "internal/util/tempdir.h"

namespace builder {

namespace {

const char* KindName(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFIFO: return "named pipe";
    case S_IFSOCK: return "socket";
    case S_IFCHR: return "character device";
    case S_IFBLK: return "block device";
    default: return "special file";
  }
}

// Copies the content reached through `src` (a link is followed) into a new
// file `dst` created with `perm`. Only regular files are read: a pipe, a
// socket or a device would block the build or never end.
util::Error CopyContent(const std::string& src, const std::string& dst, mode_t perm) {
  struct stat st;
  if (::stat(src.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
    return util::Error::Msg(util::Sprintf("cannot copy %s: it is a %s", src.c_str(), KindName(st.st_mode)));
  }
  // O_NONBLOCK keeps a pipe swapped in after the check from blocking the open.
  util::UniqueFd in(::open(src.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!in.valid()) return util::Error::Errno("open", src, errno);
  if (::fstat(in.get(), &st) != 0) return util::Error::Errno("stat", src, errno);
  if (S_ISDIR(st.st_mode)) return util::Error::Errno("read", src, EISDIR);
  if (!S_ISREG(st.st_mode)) {
    return util::Error::Msg(util::Sprintf("cannot copy %s: it is a %s", src.c_str(), KindName(st.st_mode)));
  }
  util::UniqueFd out(::open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, perm));
  if (!out.valid()) return util::Error::Errno("open", dst, errno);
  // In-kernel copy first; fall back to a buffer where the file systems refuse.
  bool kernel_copy = true;
  char buf[1 << 16];
  for (;;) {
    if (kernel_copy) {
      ssize_t n = ::copy_file_range(in.get(), nullptr, out.get(), nullptr, 1 << 30, 0);
      if (n > 0) continue;
      if (n == 0) break;
      if (errno == EINTR) continue;
      if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP && errno != EBADF) {
        return util::Error::Errno("copy", src, errno);
      }
      kernel_copy = false;
    }
    ssize_t n = ::read(in.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return util::Error::Errno("read", src, errno);
    }
    if (n == 0) break;
    ZOL_TRY(util::WriteAll(out.get(), std::string_view(buf, static_cast<size_t>(n)), dst));
  }
  if (::close(out.Release()) != 0) return util::Error::Errno("close", dst, errno);
  return {};
}

// Walks `src` in walk order without following links. The build directory is
// left out, for a source that holds the temporary directory.
util::Error copyDir(const std::string& src, const std::string& dst, const struct stat& skip) {
  return WalkTree(src, [&](const std::string& path, const std::string& rel,
                           const struct stat& st) -> util::Result<WalkAction> {
    std::string target = rel == "." ? dst : util::JoinPath(dst, rel);
    mode_t perm = st.st_mode & 07777;
    if (!S_ISDIR(st.st_mode)) {
      ZOL_TRY(CopyContent(path, target, perm));
      return WalkAction::kContinue;
    }
    if (st.st_dev == skip.st_dev && st.st_ino == skip.st_ino) return WalkAction::kSkipDir;
    if (rel != "." && ::mkdir(target.c_str(), perm) != 0 && errno != EEXIST) {
      return util::Error::Errno("mkdir", target, errno);
    }
    return WalkAction::kContinue;
  });
}

}  // namespace

util::Error BuildFromDir(const std::string& src, const std::string& output, const std::string& id_in,
                         const std::string& name, const std::string& version, const std::string& arch,
                         const std::string& base, const std::string& command,
                         const std::string& signing_key_path) {
  struct stat st;
  if (::stat(src.c_str(), &st) != 0 && errno == ENOENT) {
    return util::Error::Msg(util::Sprintf("source directory %s does not exist", src.c_str()));
  }
  std::string id = id_in.empty() ? "com.calderim." + name : id_in;
  // The file name is settled before any work, so a bad name writes nothing.
  auto pkg_path = PackagePath(output, id, version, arch);
  if (!pkg_path.ok()) return pkg_path.error();
  ZOL_TRY(CheckInstallNames(id, version, base, false));

  auto tmp = util::TempDir::Make("zol-build-dir-");
  if (!tmp.ok()) return tmp.error().Wrap("create temp build dir");
  const std::string& dir = tmp->path();
  std::string files = util::JoinPath(dir, "files");
  ZOL_TRY(util::MkdirAll(files, 0755), "create files dir");
  struct stat self;
  if (::lstat(dir.c_str(), &self) != 0) return util::Error::Errno("stat", dir, errno).Wrap("create temp build dir");
  ZOL_TRY(copyDir(src, files, self), "copy files");

  manifestParams p;
  p.ID = id;
  p.Name = name;
  p.Version = version;
  p.Arch = arch;
  p.Base = base;
  p.Kind = "cli";
  p.Command = command;
  p.SourceType = "dir";
  p.OriginalPackage = "manual";
  p.Description = src;
  ZOL_TRY(writeZOLManifest(dir, generateManifest(std::move(p))));
  ZOL_TRY(util::MkdirAll(output, 0755), "create output dir");
  ZOL_TRY(packZOL(dir, *pkg_path, signing_key_path), "pack zol");
  return {};
}

}  // namespace builder
