#include "internal/runtime/mounts.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string_view>

#include "internal/util/beneath.h"
#include "internal/util/fd.h"
#include "internal/util/files.h"
#include "internal/util/log.h"
#include "internal/util/paths.h"
#include "internal/util/strings.h"

namespace runtime {

namespace {

constexpr const char* kReadOnlyBinds[] = {"/etc/hosts", "/etc/resolv.conf", "/etc/passwd", "/etc/group"};
constexpr const char* kShadowCopies[] = {"/etc/shadow", "/etc/gshadow"};

std::string Rel(std::string_view abs_in_sandbox) {
  abs_in_sandbox.remove_prefix(1);  // "/etc/hosts" -> "etc/hosts"
  return std::string(abs_in_sandbox);
}

// A descriptor path the kernel resolves to exactly the object behind fd, so a
// mount lands where the resolution inside the root found its target and
// nowhere else.
std::string FdPath(int fd) { return "/proc/thread-self/fd/" + std::to_string(fd); }

const char* FileType(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFREG: return "regular file";
    case S_IFDIR: return "directory";
    case S_IFLNK: return "symbolic link";
    case S_IFBLK: return "block device";
    case S_IFCHR: return "character device";
    case S_IFIFO: return "FIFO";
    case S_IFSOCK: return "socket";
  }
  return "file of unknown type";
}

util::Error NotRegular(const std::string& path, mode_t mode) {
  return util::Error::Msg(path + " is a " + FileType(mode) + ", not a regular file");
}

// Every file the sandbox writes into a layer is opened like this: a layer
// may hold a device node (tar makes them as root), a FIFO or a socket at any
// name, and writing there would send the data to a device or block the run;
// so no link is followed, nothing blocks, no terminal is acquired, and the
// file is written only when it is a regular file.
constexpr int kLayerFileFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

util::Error RequireRegular(int fd, const std::string& path) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return util::Error::Errno("stat", path, errno);
  if (!S_ISREG(st.st_mode)) return NotRegular(path, st.st_mode);
  return {};
}

// Creates (or truncates) rel below the root following no link at all and
// staying on the root's mount: the host's secrets must land in the run's
// upper layer, never where a link in a layer points, not even inside.
util::Result<util::UniqueFd> CreateWithoutLinks(const util::Root& root, std::string_view rel, mode_t mode) {
  const std::optional<uint64_t> root_mount = util::MountKey(root.fd());
  util::UniqueFd cur;
  size_t at = 0;
  for (;;) {
    size_t slash = rel.find('/', at);
    bool last = slash == std::string_view::npos;
    std::string name(rel.substr(at, last ? std::string_view::npos : slash - at));
    int dir = cur.valid() ? cur.get() : root.fd();
    if (last) {
      // Looked at before the open: opening a device node may already act.
      struct stat st;
      if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode)) {
        return NotRegular(root.PathOf(rel), st.st_mode);
      }
    }
    int flags = last ? O_WRONLY | O_CREAT | kLayerFileFlags : O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    util::UniqueFd next(::openat(dir, name.c_str(), flags, mode));
    int err = next.valid() ? 0 : errno;
    // O_PATH with O_NOFOLLOW opens a link itself; O_DIRECTORY then refuses it.
    if (err == 0 && (!root_mount || util::MountKey(next.get()) != root_mount)) err = EXDEV;
    if (err != 0) return util::Error::Errno("open", root.PathOf(rel), err);
    if (last) {
      ZOL_TRY(RequireRegular(next.get(), root.PathOf(rel)));
      if (::ftruncate(next.get(), 0) != 0) return util::Error::Errno("truncate", root.PathOf(rel), errno);
      return next;
    }
    cur = std::move(next);
    at = slash + 1;
  }
}

// The mount just placed on the object behind `covered`. That descriptor
// still names the covered object, and the root refuses to cross into a
// mount, so the bind is reached through the object's own path, which the
// kernel reports without links; it must be a mount other than the root's.
util::Result<util::UniqueFd> OpenNewMount(int covered, const util::Root& root) {
  char buf[4096];
  ssize_t n = ::readlink(FdPath(covered).c_str(), buf, sizeof buf);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buf || buf[0] != '/') {
    return util::Error::Errno("readlink", FdPath(covered), n < 0 ? errno : ENAMETOOLONG);
  }
  std::string path(buf, static_cast<size_t>(n));
  util::UniqueFd fd(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return util::Error::Errno("open", path, errno);
  if (util::MountKey(fd.get()) == util::MountKey(root.fd())) {
    return util::Error::Errno("open", path, EINVAL);
  }
  return fd;
}

// Binds e.source over the object behind `target`; a read-only bind is made
// read-only by a remount of the new mount alone.
util::Error MountBind(const MountEntry& e, int target, const util::Root& root) {
  if (::mount(e.source.c_str(), FdPath(target).c_str(), "", e.flags & ~MS_RDONLY, "") != 0) {
    return util::Error::Sys(util::Sprintf("bind mount %s -> %s", e.source.c_str(), e.target.c_str()), errno);
  }
  if ((e.flags & MS_RDONLY) == 0) return {};
  auto bound = OpenNewMount(target, root);
  if (!bound.ok()) return bound.error().Wrap(util::Sprintf("remount read-only %s", e.target.c_str()));
  if (::mount("", FdPath(bound->get()).c_str(), "", MS_BIND | MS_REMOUNT | MS_RDONLY, "") != 0) {
    return util::Error::Sys(util::Sprintf("remount read-only %s", e.target.c_str()), errno);
  }
  return {};
}

// Fills the device tmpfs just mounted over the object behind `covered`.
util::Error FillDev(int covered, const std::string& target, const util::Root& root) {
  ZOL_ASSIGN_OR_RETURN(util::UniqueFd dev, OpenNewMount(covered, root));
  util::UniqueFd dev_dir(::openat(dev.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dev_dir.valid()) return util::Error::Errno("open", target, errno);
  return PopulateDev(dev_dir.get(), target);
}

}  // namespace

std::vector<std::string> NamedMountPoints() {
  std::vector<std::string> names = {Rel(kDevPtsPath)};
  for (const BaseMount& m : kBaseMounts) names.push_back(Rel(m.path));
  names.push_back(Rel(kAppPath));
  return names;
}

std::vector<std::string> LayerMountPoints() {
  std::vector<std::string> names;
  for (const BaseMount& m : kBaseMounts) names.push_back(Rel(m.path));
  names.push_back(Rel(kRunPath));
  names.push_back(Rel(kAppPath));
  return names;
}

util::Result<util::UniqueFd> OpenMountTarget(const util::Root& root, std::string_view rel) {
  auto fd = root.OpenFile(rel, O_PATH, 0, util::Root::Follow::kYes);
  if (!fd.ok()) {
    // Inside a root of its own, crossing a mount is the only way to EXDEV.
    if (fd.error().Is(EXDEV)) return util::Error::Msg("refusing mount target " + root.PathOf(rel) + ": it leads into another mount");
    return fd.error();
  }
  struct stat target, top;
  if (::fstat(fd->get(), &target) != 0 || ::fstat(root.fd(), &top) != 0) {
    return util::Error::Errno("stat", root.PathOf(rel), errno);
  }
  // A link to "." or ".." would stack the mount on the root itself, and the
  // teardown's detach of the root would then take off only that top mount.
  if (target.st_dev == top.st_dev && target.st_ino == top.st_ino) {
    return util::Error::Msg("refusing mount target " + root.PathOf(rel) + ": it resolves to the sandbox root");
  }
  return fd;
}

MountPlan BuildMountPlan(const std::string& root, bool root_is_overlay, const std::string& host) {
  MountPlan plan;
  plan.root = util::CleanPath(root);
  for (const BaseMount& m : kBaseMounts) {
    plan.entries.push_back({"none", util::JoinPath(root, m.path), m.fstype, m.flags, "", m.kind});
  }
  for (const char* path : kReadOnlyBinds) {
    std::string source = util::JoinPath(host, path);
    struct stat st;
    if (::stat(source.c_str(), &st) != 0) continue;
    plan.entries.push_back({source, util::JoinPath(root, path), "none", MS_BIND | MS_RDONLY, "", MountKind::kBind});
  }
  if (root_is_overlay) {
    for (const char* path : kShadowCopies) plan.copies.push_back({util::JoinPath(host, path), path});
  }
  std::string home = util::JoinPath(host, "/home");
  struct stat st;
  if (::stat(home.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    plan.entries.push_back({home, util::JoinPath(root, "/home"), "none", MS_BIND, "", MountKind::kBind});
  }
  return plan;
}

util::Error PrepareRoot(const MountPlan& plan) {
  auto dir = util::Root::Open(plan.root, util::Root::Scope::kInRoot);
  if (!dir.ok()) return dir.error();
  for (const MountEntry& e : plan.entries) {
    std::string_view rel(e.target);
    if (!util::HasPrefix(rel, plan.root)) {
      return util::Error::Msg(util::Sprintf("%s lies outside %s", e.target.c_str(), plan.root.c_str()));
    }
    rel.remove_prefix(plan.root.size());
    while (!rel.empty() && rel.front() == '/') rel.remove_prefix(1);
    struct stat st;
    if (e.kind != MountKind::kBind) {
      if (auto err = dir->MkdirAll(rel, 0755); !err.ok()) {
        return err.Wrap(util::Sprintf("mkdir mount target %s", e.target.c_str()));
      }
    } else if (::stat(e.source.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      if (auto err = dir->MkdirAll(rel, 0755); !err.ok()) return err.Wrap(util::Sprintf("mkdir %s", e.target.c_str()));
    } else {
      // A link there is followed as the application will see it: the layer's
      // own /run/resolv.conf for "etc/resolv.conf -> /run/resolv.conf".
      auto existing = dir->Stat(rel);
      if (existing.ok() || !existing.error().Is(ENOENT)) continue;
      auto fd = dir->OpenFile(rel, O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY, 0644, util::Root::Follow::kYes);
      if (!fd.ok()) return fd.error().Wrap(util::Sprintf("create bind target %s", e.target.c_str()));
      if (auto err = RequireRegular(fd->get(), e.target); !err.ok()) {
        return err.Wrap(util::Sprintf("create bind target %s", e.target.c_str()));
      }
      if (::close(fd->Release()) != 0) {
        return util::Error::Errno("close", e.target, errno)
            .Wrap(util::Sprintf("close bind target %s", e.target.c_str()));
      }
    }
  }
  for (const MountPlan::Copy& c : plan.copies) {
    auto data = util::ReadFile(c.source);
    if (!data.ok()) continue;
    auto fd = CreateWithoutLinks(*dir, Rel(c.path), 0640);
    util::Error err = fd.ok() ? util::WriteAll(fd->get(), *data, util::JoinPath(plan.root, c.path)) : fd.error();
    if (!err.ok()) {
      util::Warn("failed to copy %s into sandbox: %v", c.path, err);
    }
  }
  return {};
}

util::Error PopulateDev(int dev_fd, const std::string& dev_dir) {
  for (const DevNode& n : kDevNodes) {
    if (::mknodat(dev_fd, n.name, S_IFCHR | n.mode, makedev(n.major, n.minor)) != 0 && errno != EEXIST) {
      return util::Error::Errno("mknod", n.name, errno);
    }
  }
  for (const DevLink& l : kDevLinks) {
    if (::symlinkat(l.target, dev_fd, l.name) != 0 && errno != EEXIST) {
      return util::Error::Errno("symlink", l.name, errno);
    }
  }
  struct Dir {
    const char* name;
    mode_t mode;
    const char* context;
  };
  for (const Dir& d : {Dir{"shm", 0777, "mkdir /dev/shm"}, Dir{"pts", 0755, "mkdir /dev/pts"}}) {
    if (::mkdirat(dev_fd, d.name, d.mode) != 0 && errno != EEXIST) {
      return util::Error::Errno("mkdir", util::JoinPath(dev_dir, d.name), errno).Wrap(d.context);
    }
  }
  std::string base = FdPath(dev_fd);
  // A kernel without private devpts instances leaves the plain 5:2 node: the
  // sandbox then has no pseudo-terminals of its own, which is not fatal.
  static_assert(std::string_view(kDevPtsPath) == "/dev/pts", "the device tree holds its devpts at pts");
  if (::mount("devpts", (base + "/pts").c_str(), "devpts", MS_NOSUID | MS_NOEXEC,
              "newinstance,ptmxmode=0666,mode=0620") != 0) {
    return {};
  }
  if (::mount((base + "/pts/ptmx").c_str(), (base + "/ptmx").c_str(), "", MS_BIND, "") != 0) {
    return util::Error::Sys("bind mount ptmx", errno);
  }
  return {};
}

util::Error MakeRootPrivate() {
  if (::mount("", "/", "", MS_REC | MS_PRIVATE, "") == 0) return {};
  int err = errno;
  struct statx stx;
  if (err == EINVAL && ::statx(AT_FDCWD, "/", 0, 0, &stx) == 0 &&
      (stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
      (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT) == 0) {
    return util::Error::WithCause(util::ErrnoText(err) + " (\"/\" is not a mount point, as inside a plain chroot)",
                                  util::Error::Sys("", err))
        .Wrap("make / private");
  }
  return util::Error::Sys("make / private", err);
}

util::Error SetupMountNamespace(const MountPlan& plan) {
  auto root = util::Root::Open(plan.root, util::Root::Scope::kInRoot);
  if (!root.ok()) return root.error();

  // Targets are found again inside the root at mount time: the root may hold
  // links placed by a package, and a mount must never land outside it, on
  // the root itself or on (or in) a mount made before it.
  auto open_target = [&](const std::string& target) -> util::Result<util::UniqueFd> {
    std::string_view rel(target);
    if (!util::HasPrefix(rel, plan.root)) {
      return util::Error::Msg(util::Sprintf("%s lies outside %s", target.c_str(), plan.root.c_str()));
    }
    rel.remove_prefix(plan.root.size());
    while (!rel.empty() && rel.front() == '/') rel.remove_prefix(1);
    return OpenMountTarget(*root, rel);
  };

  for (const MountEntry& e : plan.entries) {
    const bool is_bind = e.kind == MountKind::kBind;
    const std::string what = is_bind ? util::Sprintf("bind mount %s -> %s", e.source.c_str(), e.target.c_str())
                                     : util::Sprintf("mount %s on %s", e.fstype.c_str(), e.target.c_str());
    auto fd = open_target(e.target);
    if (!fd.ok()) return fd.error().Wrap(what);
    switch (e.kind) {
      case MountKind::kBind:
        ZOL_TRY(MountBind(e, fd->get(), *root));
        break;
      case MountKind::kFileSystem:
      case MountKind::kDev:
        if (::mount(e.source.c_str(), FdPath(fd->get()).c_str(), e.fstype.c_str(), e.flags, e.data.c_str()) != 0) {
          return util::Error::Sys(what, errno);
        }
        if (e.kind == MountKind::kDev) ZOL_TRY(FillDev(fd->get(), e.target, *root), "populate /dev");
        break;
    }
  }
  return {};
}

}  // namespace runtime
