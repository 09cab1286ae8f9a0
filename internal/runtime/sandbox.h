// The privileged road of a run: a private mount namespace over the base
// layer (under an overlay when the application ships its own layer), the
// application's files at /app, the mount plan, a control group, no new
// privileges, and the application started in a chroot as the leader of its
// own process group; then the wait and the teardown.
#pragma once

#include <signal.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "internal/runtime/cgroups.h"
#include "internal/util/error.h"
#include "internal/util/fd.h"

namespace runtime {

struct SandboxOptions {
  int64_t mem_limit_mb = 0;
  int64_t cpu_weight = 0;
  bool no_new_privs = true;
  // Where the control-group hierarchies live.
  std::string cgroup_root = kCgroupRoot;
  // The read end of a SignalTrap the caller holds; -1: the run traps
  // signals itself for the length of the sandbox.
  int signal_fd = -1;
};

// Takes SIGTERM, SIGINT and SIGHUP over while it lives: they no longer end
// the runtime but land in a pipe that the run reads while it waits. A signal
// mask (or signalfd) would be inherited by the application and would make a
// signal during the teardown a default kill once unblocked; a handler is
// reset by exec and keeps working until the trap is released. One at a time.
class SignalTrap {
 public:
  static util::Result<std::unique_ptr<SignalTrap>> Install();
  ~SignalTrap();
  SignalTrap(const SignalTrap&) = delete;
  SignalTrap& operator=(const SignalTrap&) = delete;
  int read_fd() const { return read_.get(); }

 private:
  SignalTrap(util::UniqueFd r, util::UniqueFd w) : read_(std::move(r)), write_(std::move(w)) {}
  util::UniqueFd read_, write_;
  struct sigaction old_[3];
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
