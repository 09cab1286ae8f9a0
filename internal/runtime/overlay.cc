#include "internal/runtime/overlay.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cerrno>
#include <algorithm>
#include <string_view>

#include "internal/runtime/mounts.h"
#include "internal/util/fd.h"
#include "internal/util/files.h"
#include "internal/util/log.h"
#include "internal/util/mountinfo.h"
#include "internal/util/paths.h"
#include "internal/util/strings.h"

namespace runtime {

OverlayMount::OverlayMount(const std::string& app_overlay, const std::string& base_rootfs,
                             const std::string& run_dir)
    : lower_dirs_{app_overlay, base_rootfs},
      upper_dir_(util::JoinPath(run_dir, "upper")),
      work_dir_(util::JoinPath(run_dir, "work")),
      merged_dir_(util::JoinPath(run_dir, "merged")) {}

std::string OverlayMount::run_dir() const { return util::DirName(merged_dir_); }

util::Error OverlayMount::Prepare() {
  const std::string wanted = run_dir();
  if (auto err = util::MkdirAll(util::DirName(wanted), 0755); !err.ok()) return err.Wrap("mkdir " + upper_dir_);
  std::string dir = wanted;
  for (int n = 1; ::mkdir(dir.c_str(), 0755) != 0; ++n) {
    if (errno != EEXIST || n > 1000) return util::Error::Errno("mkdir", dir, errno).Wrap("mkdir " + upper_dir_);
    dir = wanted + "-" + std::to_string(n);
  }
  upper_dir_ = util::JoinPath(dir, "upper");
  work_dir_ = util::JoinPath(dir, "work");
  merged_dir_ = util::JoinPath(dir, "merged");
  for (const std::string* sub : {&upper_dir_, &work_dir_, &merged_dir_}) {
    if (::mkdir(sub->c_str(), 0755) != 0) {
      util::Error err = util::Error::Errno("mkdir", *sub, errno);
      if (auto rm = util::RemoveAll(dir); !rm.ok()) util::Warn("remove run directory: %v", rm);
      return err;
    }
  }
  return {};
}

namespace {

// The mount points of this thread's namespace at or below dir, shallowest
// first.
std::vector<std::string> MountsAtOrBelow(const std::string& dir) {
  auto table = util::ReadFile("/proc/thread-self/mountinfo");
  if (!table.ok()) return {dir};  // unknown counts as mounted
  std::vector<std::string> found = util::MountPointsAtOrBelow(*table, dir);
  std::stable_sort(found.begin(), found.end(),
                   [](const std::string& a, const std::string& b) { return a.size() < b.size(); });
  return found;
}

// Detaches everything mounted at or below dir, the shallowest first (a lazy
// detach takes the mounts below with it, and a mount stacked on another
// hides the paths below). Returns what is still mounted.
std::vector<std::string> DetachAllBelow(const std::string& dir) {
  for (int round = 0; round < 64; ++round) {
    std::vector<std::string> left = MountsAtOrBelow(dir);
    if (left.empty()) return left;
    if (::umount2(left.front().c_str(), MNT_DETACH | UMOUNT_NOFOLLOW) != 0) return left;
  }
  return MountsAtOrBelow(dir);
}

}  // namespace

util::Error OverlayMount::Mount() const {
  // The kernel takes one page of options and cuts the rest without a word;
  // a path of a descriptor is short whatever the layer's own path is.
  std::vector<util::UniqueFd> fds;
  auto fd_path = [&](const std::string& dir) -> util::Result<std::string> {
    util::UniqueFd fd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) return util::Error::Sys("", errno);
    std::string path = "/proc/self/fd/" + std::to_string(fd.get());
    fds.push_back(std::move(fd));
    return path;
  };
  std::string lower;
  for (const std::string& dir : lower_dirs_) {
    ZOL_ASSIGN_OR_RETURN(std::string p, fd_path(dir));
    if (!lower.empty()) lower += ':';
    lower += p;
  }
  ZOL_ASSIGN_OR_RETURN(std::string upper, fd_path(upper_dir_));
  ZOL_ASSIGN_OR_RETURN(std::string work, fd_path(work_dir_));
  std::string options = util::Sprintf("lowerdir=%s,upperdir=%s,workdir=%s", lower.c_str(), upper.c_str(), work.c_str());
  if (options.size() >= static_cast<size_t>(::sysconf(_SC_PAGESIZE))) {
    return util::Error::Msg("the layer paths are too long for the overlay's options");
  }
  if (::mount("overlay", merged_dir_.c_str(), "overlay", 0, options.c_str()) != 0) return util::Error::Sys("", errno);
  return {};
}

util::Error OverlayMount::Unmount() const {
  if (::umount2(merged_dir_.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW) != 0) return util::Error::Sys("", errno);
  return {};
}

util::Error OverlayMount::Cleanup() const {
  for (const std::string& name : NamedMountPoints()) {
    std::string path = util::JoinPath(merged_dir_, name);
    // EINVAL: nothing mounted there; ENOENT: the plan never got that far.
    if (::umount2(path.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW) != 0 && errno != EINVAL && errno != ENOENT) {
      util::Warn("failed to unmount %s: %s", path, util::ErrnoText(errno));
    }
  }
  if (auto err = Unmount(); !err.ok() && err.sys_errno() != EINVAL) {
    // Removing the run directory now would walk through the binds still
    // mounted in the merged view: the host's /home and the application files.
    util::Warn("failed to unmount overlay %s: %v", merged_dir_, err);
    return {};
  }
  // A detach that succeeded may have taken off only the top of a stack (a
  // mount that a layer's link placed on the merged view itself): the mount
  // table, not the result, says whether anything is left below the run
  // directory. The removal itself never enters a mount either.
  std::string run_dir = util::DirName(merged_dir_);
  char real[PATH_MAX];
  if (::realpath(run_dir.c_str(), real) == nullptr) return {};  // nothing there to remove
  std::vector<std::string> left = DetachAllBelow(real);
  if (!left.empty()) {
    util::Warn("run directory %s kept: %s is still mounted", run_dir, left.front());
    return {};
  }
  if (auto err = util::RemoveAll(run_dir); !err.ok()) return err.Wrap("remove overlay dir");
  return {};
}

}  // namespace runtime
