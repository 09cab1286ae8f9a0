#include "internal/runtime/overlay.h"

#include <sys/mount.h>

#include <cerrno>

#include "internal/runtime/warn.h"
#include "internal/util/files.h"
#include "internal/util/paths.h"
#include "internal/util/strings.h"

namespace runtime {

OverlayConfig::OverlayConfig(const std::string& app_overlay, const std::string& base_rootfs,
                             const std::string& run_dir)
    : lower_dirs_{app_overlay, base_rootfs},
      upper_dir_(util::JoinPath(run_dir, "upper")),
      work_dir_(util::JoinPath(run_dir, "work")),
      merged_dir_(util::JoinPath(run_dir, "merged")) {}

util::Error OverlayConfig::Prepare() const {
  if (auto err = util::RemoveAll(util::DirName(merged_dir_)); !err.ok()) {
    return err.Wrap("remove stale run directory");
  }
  for (const std::string* dir : {&upper_dir_, &work_dir_, &merged_dir_}) {
    if (auto err = util::MkdirAll(*dir, 0755); !err.ok()) return err.Wrap("mkdir " + *dir);
  }
  return {};
}

util::Result<std::string> OverlayConfig::Options() const {
  std::string lower;
  for (const std::string& dir : lower_dirs_) {
    if (!lower.empty()) lower += ':';
    lower += dir;
  }
  // The kernel splits the text at "," and the layer list at ":", and reads
  // "\" as an escape; such a path would silently become other options or
  // other layers.
  for (const std::string* p : {&lower_dirs_[0], &lower_dirs_[1], &upper_dir_, &work_dir_}) {
    if (p->find_first_of(",:\\") != std::string::npos) {
      return util::Error::Msg("overlay layer path holds \",\", \":\" or \"\\\": " + util::Quote(*p));
    }
  }
  return util::Sprintf("lowerdir=%s,upperdir=%s,workdir=%s", lower.c_str(), upper_dir_.c_str(), work_dir_.c_str());
}

util::Error OverlayConfig::Mount() const {
  auto options = Options();
  if (!options.ok()) return options.error();
  if (::mount("overlay", merged_dir_.c_str(), "overlay", 0, options->c_str()) != 0) return SysError(errno);
  return {};
}

util::Error OverlayConfig::Unmount() const {
  if (::umount2(merged_dir_.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW) != 0) return SysError(errno);
  return {};
}

util::Error OverlayConfig::Cleanup() const {
  for (const char* name : {"dev/pts", "dev", "proc", "sys", "tmp", "app"}) {
    std::string path = util::JoinPath(merged_dir_, name);
    // EINVAL: nothing mounted there; ENOENT: the plan never got that far.
    if (::umount2(path.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW) != 0 && errno != EINVAL && errno != ENOENT) {
      WarnText(util::Sprintf("failed to unmount %s: %s", path.c_str(), util::ErrnoText(errno).c_str()));
    }
  }
  if (auto err = Unmount(); !err.ok() && err.sys_errno() != EINVAL) {
    // Removing the run directory now would walk through the binds still
    // mounted in the merged view: the host's /home and the application files.
    WarnText(util::Sprintf("failed to unmount overlay %s: %s", merged_dir_.c_str(), err.message().c_str()));
    return {};
  }
  if (auto err = util::RemoveAll(util::DirName(merged_dir_)); !err.ok()) return err.Wrap("remove overlay dir");
  return {};
}

}  // namespace runtime
