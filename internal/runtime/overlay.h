// The overlay that stacks an application's own root-filesystem layer over its
// base layer, with a writable upper layer private to the run.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "internal/util/error.h"

namespace runtime {

class OverlayMount {
 public:
  // Lower layers [app_overlay, base_rootfs] (topmost first), upper, work and
  // merged directories under run_dir. Touches no file.
  OverlayMount(const std::string& app_overlay, const std::string& base_rootfs, const std::string& run_dir);

  // Creates the run directory, then upper, work and merged in it. The run
  // directory is this run's alone: when its name is taken (a run of another
  // pid namespace with the same pid, or the leftover of a killed run), the
  // first free name run_dir-1, run_dir-2, ... is used instead, and the three
  // paths follow it; what exists is never emptied nor entered. On failure
  // nothing that it created stays.
  util::Error Prepare();
  // Mounts the overlay on the merged directory; the error is the kernel's
  // reason alone (the caller names the step). The layers are handed to the
  // kernel as descriptors, so no path, however long, and no "," or ":" in
  // one, can cut or split the options.
  util::Error Mount() const;
  // Lazily detaches the merged directory; the error is the kernel's reason.
  util::Error Unmount() const;
  // Detaches the sandbox's mounts below the merged view and the overlay, then
  // removes the run directory, but only once the mount table shows nothing
  // at or below it; the removal never enters a mount.
  util::Error Cleanup() const;

  const std::vector<std::string>& lower_dirs() const { return lower_dirs_; }
  const std::string& upper_dir() const { return upper_dir_; }
  const std::string& work_dir() const { return work_dir_; }
  const std::string& merged_dir() const { return merged_dir_; }
  std::string run_dir() const;

 private:
  std::vector<std::string> lower_dirs_;
  std::string upper_dir_;
  std::string work_dir_;
  std::string merged_dir_;
};

}  // namespace runtime
