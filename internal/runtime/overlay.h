// The overlay that stacks an application's own root-filesystem layer over its
// base layer, with a writable upper layer private to the run.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "internal/util/error.h"

namespace runtime {

// A layer path escaped so that the kernel's option parser, which splits at
// "," and ":" and reads "\\" as escaping the next character, takes it whole.
std::string EscapeLayer(const std::string& path);
// A mountinfo field with its octal escapes ("\\040" for a blank) undone.
std::string UnescapeMountInfo(std::string_view field);

class OverlayConfig {
 public:
  // Lower layers [app_overlay, base_rootfs] (topmost first), upper, work and
  // merged directories under run_dir. Touches no file.
  OverlayConfig(const std::string& app_overlay, const std::string& base_rootfs, const std::string& run_dir);

  // Creates upper, work and merged (and the run directory). A run directory
  // left by an earlier process with the same pid is removed first: its upper
  // layer would otherwise show through in this run's root.
  util::Error Prepare() const;
  // The kernel's mount options text, every path escaped so that none is
  // read as more options or more layers.
  std::string Options() const;
  // Mounts the overlay on the merged directory; the error is the kernel's
  // reason alone (the caller names the step).
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

 private:
  std::vector<std::string> lower_dirs_;
  std::string upper_dir_;
  std::string work_dir_;
  std::string merged_dir_;
};

}  // namespace runtime
