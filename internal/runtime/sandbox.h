// The privileged road of a run: a private mount namespace over the base
// layer (under an overlay when the application ships its own layer), the
// application's files at /app, the mount plan, a control group, no new
// privileges, and the application started in a chroot as the leader of its
// own process group; then the wait and the teardown.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "internal/runtime/cgroups.h"
#include "internal/util/error.h"

namespace runtime {

struct SandboxOptions {
  int64_t mem_limit_mb = 0;
  int64_t cpu_weight = 0;
  bool no_new_privs = true;
  // Where the control-group hierarchies live.
  std::string cgroup_root = kCgroupRoot;
};

// Runs entry_command (a path inside the sandbox) with argv entry_command +
// args and exactly `env` as its environment, over base_rootfs with
// install_path/files at /app. Blocks until the application and the teardown
// have finished. "exit status N" when it ends unsuccessfully (-1 for a
// signal).
util::Error EnterSandbox(const std::string& base_rootfs, const std::string& install_path,
                         const std::string& entry_command, const std::vector<std::string>& args,
                         const std::vector<std::string>& env, const SandboxOptions& opts);

// The directory can be listed and holds at least one entry.
bool DirHasContent(const std::string& dir);

}  // namespace runtime
