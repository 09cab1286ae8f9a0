// The sandbox root's file systems: the mount plan (a plain value, built and
// checked without privileges), the executor that applies it inside the run's
// private mount namespace, and the minimal /dev.
#pragma once

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "internal/util/beneath.h"
#include "internal/util/error.h"
#include "internal/util/fd.h"

namespace runtime {

// What a mount entry places and what the executor does for it.
enum class MountKind {
  kFileSystem,  // a kernel file system of type `fstype`
  kDev,         // a tmpfs then filled as the minimal device tree
  kBind,        // the host's `source` bound there (read-only with MS_RDONLY)
};

struct MountEntry {
  std::string source;  // "none" for kernel file systems, the host path for a bind
  std::string target;  // the root joined with the path the sandbox sees
  std::string fstype;  // "none" for a bind
  unsigned long flags = 0;
  std::string data;
  MountKind kind = MountKind::kFileSystem;

  bool operator==(const MountEntry&) const = default;
};

struct MountPlan {
  std::string root;  // every target lies beneath it and is resolved beneath it
  std::vector<MountEntry> entries;
  // Host files copied into the root rather than bound (the host's shadow
  // files, into an overlay root only).
  struct Copy {
    std::string source;  // the host's file
    std::string path;    // where the sandbox sees it
    bool operator==(const Copy&) const = default;
  };
  std::vector<Copy> copies;
};

// The kernel file systems of every sandbox root, in mount order: the table
// the plan starts from and the overlay's teardown detaches.
struct BaseMount {
  const char* path;
  const char* fstype;
  unsigned long flags;
  MountKind kind;
};
inline constexpr BaseMount kBaseMounts[] = {
    {"/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, MountKind::kFileSystem},
    {"/sys", "sysfs", MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC, MountKind::kFileSystem},
    {"/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, MountKind::kDev},
    {"/tmp", "tmpfs", 0, MountKind::kFileSystem},
};
// The private devpts inside the device tmpfs, and the application's files.
inline constexpr const char* kDevPtsPath = "/dev/pts";
inline constexpr const char* kAppPath = "/app";
// Made in every base layer beside the table's mount points.
inline constexpr const char* kRunPath = "/run";

// The mount points the teardown detaches by name below a root, children
// before their parents: the devpts, the table's, /app. The binds of host
// files and /home go with the root's own detach.
std::vector<std::string> NamedMountPoints();

// The top-level directories of a base layer that hold the sandbox's mounts,
// without the leading "/": the table's, /run and /app. A base layer's
// preparation makes them; its uninstall detaches whatever is mounted on them.
std::vector<std::string> LayerMountPoints();

// The minimal device tree, in creation order.
struct DevNode {
  const char* name;
  mode_t mode;
  unsigned major;
  unsigned minor;
};
inline constexpr DevNode kDevNodes[] = {
    {"null", 0666, 1, 3},   {"zero", 0666, 1, 5}, {"full", 0666, 1, 7},    {"random", 0666, 1, 8},
    {"urandom", 0666, 1, 9}, {"tty", 0666, 5, 0},  {"ptmx", 0666, 5, 2},    {"console", 0600, 5, 1},
};
struct DevLink {
  const char* name;
  const char* target;
};
inline constexpr DevLink kDevLinks[] = {
    {"stdin", "/proc/self/fd/0"},
    {"stdout", "/proc/self/fd/1"},
    {"stderr", "/proc/self/fd/2"},
    {"fd", "/proc/self/fd"},
};

// The plan for `root`, from what the host has; the root is not touched. The
// host's shadow files are copied in only when `root_is_overlay`: in the
// installed base layer itself they would stay after the run. `host` is the
// host's root ("/" outside tests).
MountPlan BuildMountPlan(const std::string& root, bool root_is_overlay, const std::string& host = "/");

// Gets the root ready for the plan: the mount points (directories; an empty
// file for a bind of a file), beneath the root and never through a link
// leading out, and the copies. A copy that cannot be made is a warning.
util::Error PrepareRoot(const MountPlan& plan);

// The object at rel inside `root` (a kInRoot root: links resolved as the
// sandbox will see them, no mount crossed) on which a mount may be placed,
// as an O_PATH descriptor. Refused: the root itself, and anything on or
// below a mount already made in it ("refusing mount target PATH: ...").
util::Result<util::UniqueFd> OpenMountTarget(const util::Root& root, std::string_view rel);

// Makes "/" recursively private, so that no mount below reaches the host
// even when the host's root is a shared mount. The kernel refuses that with
// "invalid argument" when "/" is not a mount point (a plain chroot); the
// cause text then says so, keeping the errno.
util::Error MakeRootPrivate();

// Applies the plan in order. Must run on the thread that owns the run's
// mount namespace, after MakeRootPrivate.
util::Error SetupMountNamespace(const MountPlan& plan);

// Fills a freshly mounted device tmpfs; `dev_fd` is the directory, `dev_dir`
// its path for messages and mounts.
util::Error PopulateDev(int dev_fd, const std::string& dev_dir);

}  // namespace runtime
