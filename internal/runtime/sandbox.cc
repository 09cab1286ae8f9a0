#include "internal/runtime/sandbox.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <exception>
#include <optional>
#include <thread>

#include "internal/runtime/cgroups.h"
#include "internal/runtime/kill_tree.h"
#include "internal/runtime/mounts.h"
#include "internal/runtime/overlay.h"
#include "internal/runtime/sandbox_child.h"
#include "internal/util/beneath.h"
#include "internal/util/command_policy.h"
#include "internal/util/dir_list.h"
#include "internal/util/files.h"
#include "internal/util/fd.h"
#include "internal/util/log.h"
#include "internal/util/paths.h"
#include "internal/util/strings.h"

namespace runtime {

namespace {

constexpr int kTrappedSignals[] = {SIGTERM, SIGINT, SIGHUP};
static_assert(std::size(kTrappedSignals) == 3, "SignalTrap keeps one old action per trapped signal");

// The handler's only resource: the write end of the self-pipe.
std::atomic<int> g_signal_pipe{-1};

void OnSignal(int sig) {
  int saved = errno;
  int fd = g_signal_pipe.load(std::memory_order_relaxed);
  if (fd >= 0) {
    unsigned char b = static_cast<unsigned char>(sig);
    ssize_t ignored = ::write(fd, &b, 1);
    (void)ignored;
  }
  errno = saved;
}


// The started application as the run's thread sees it. The thread alone
// signals and collects it, so no pid is signalled after the wait has handed
// it back to the kernel for reuse.
struct Child {
  pid_t pid = 0;
  bool collected = false;
  const CgroupManager* cgroup = nullptr;

  // Kills the application and everything it started.
  void Kill() const {
    if (pid <= 0) return;
    if (collected) {
      // The pid may belong to another process by now, and the application's
      // remaining processes are no longer its descendants: the group only.
      if (cgroup != nullptr) cgroup->KillGroup();
      return;
    }
    // The group may not hold the child (a failed add) or may not exist, so
    // the tree below the still uncollected pid goes too.
    bool group_killed = cgroup != nullptr && cgroup->KillGroup(/*tree_follows=*/true);
    KillTree(pid, "/proc", /*warn_gone=*/!group_killed);
  }
};

// The first signal waiting in the trap's pipe, or 0; takes what it reads.
int TakeSignal(int signal_fd) {
  struct pollfd p = {signal_fd, POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0 || (p.revents & POLLIN) == 0) return 0;
  unsigned char sigs[16];
  ssize_t n = ::read(signal_fd, sigs, sizeof sigs);
  return n > 0 ? sigs[0] : 0;
}

// Actions registered while the run is set up, run in reverse order however
// the run ends.
class Teardown {
 public:
  void Register(std::function<void()> action) { actions_.push_back(std::move(action)); }
  // Runs while an exception unwinds too; one action that throws must not
  // end the process with the rest undone.
  ~Teardown() {
    for (auto it = actions_.rbegin(); it != actions_.rend(); ++it) {
      try {
        (*it)();
      } catch (const std::exception& e) {
        util::Warn("sandbox teardown: %s", e.what());
      } catch (...) {
        util::Warn("sandbox teardown: unknown exception");
      }
    }
  }

 private:
  std::vector<std::function<void()>> actions_;
};

util::Error BindAppFiles(const std::string& root, const std::string& app_files) {
  auto dir = util::Root::Open(root, util::Root::Scope::kInRoot);
  if (!dir.ok()) return dir.error().Wrap("mkdir /app mount point");
  const char* rel = kAppPath + 1;  // below the root: without the leading "/"
  if (auto err = dir->MkdirAll(rel, 0755); !err.ok()) return err.Wrap("mkdir /app mount point");
  auto target = OpenMountTarget(*dir, rel);
  if (!target.ok()) return target.error().Wrap("bind-mount app/files");
  std::string fd_path = "/proc/thread-self/fd/" + std::to_string(target->get());
  if (::mount(app_files.c_str(), fd_path.c_str(), "", MS_BIND | MS_REC, "") != 0) {
    return util::Error::Sys("bind-mount app/files", errno);
  }
  return {};
}

// Starts the application in the sandbox root, already a member of its
// control groups when its first instruction runs. A signal that came while
// the run was set up ends the run here instead.
util::Result<pid_t> StartInGroups(SandboxChildPlan plan, const CgroupManager& cgroup, int signal_fd) {
  if (int sig = TakeSignal(signal_fd); sig != 0) {
    return util::Error::Msg("interrupted by signal: " + util::SignalText(sig));
  }
  const std::vector<CgroupManager::ProcsFile> files = cgroup.ProcsFiles();
  for (const CgroupManager::ProcsFile& f : files) plan.joins.push_back({f.path, f.stop});
  ZOL_ASSIGN_OR_RETURN(SandboxChild child, StartSandboxChild(plan));
  if (auto err = CgroupManager::AddResult(files, child.joins); !err.ok()) {
    util::Warn("cgroup add PID failed: %v", err);
  }
  for (const std::string& w : child.warnings) util::Warn("%s", w);
  return child.pid;
}

// A stop of an application that holds the terminal (Ctrl-Z, or a read while
// it is in the background) is passed on as a shell expects of its job:
// zol-cli takes the terminal back and stops too; continued (fg), it gives
// the terminal to the application again and continues it. Without this the
// shell would wait for ever on a zol-cli that waits on a stopped program.
void PassOnStop(pid_t pid) {
  ReclaimTerminal();
  ::kill(::getpid(), SIGSTOP);
  // Continued. In the foreground again, the terminal goes back with it.
  if (HoldsTerminal()) GiveTerminal(pid);
  ::kill(-pid, SIGCONT);
}

// Waits for the application to end while the trap's signals kill it (they
// are never forwarded to it), then collects it.
// With the terminal, stops are passed on (PassOnStop). The exit is seen through a
// pidfd; a kernel without one is looked at every few milliseconds.
util::Result<int> WaitAndCollect(Child* child, int signal_fd, bool* signalled, bool job_control) {
  util::UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, child->pid, 0)));
  // A pidfd wakes only at the exit, so a stop is looked for every so often.
  const int timeout_ms = job_control ? 50 : pidfd.valid() ? -1 : 5;
  for (;;) {
    siginfo_t info;
    info.si_pid = 0;
    const int flags = WEXITED | WNOHANG | WNOWAIT | (job_control ? WSTOPPED : 0);
    if (::waitid(P_PID, static_cast<id_t>(child->pid), &info, flags) != 0) {
      if (errno == EINTR) continue;
      return util::Error::Sys("wait", errno);
    }
    if (info.si_pid == child->pid && info.si_code == CLD_STOPPED) {
      // Taken, so that the same stop is not seen again.
      siginfo_t taken;
      ::waitid(P_PID, static_cast<id_t>(child->pid), &taken, WSTOPPED | WNOHANG);
      PassOnStop(child->pid);
      continue;
    }
    if (info.si_pid == child->pid) break;
    struct pollfd fds[2] = {{signal_fd, POLLIN, 0}, {pidfd.get(), POLLIN, 0}};
    if (::poll(fds, pidfd.valid() ? 2 : 1, timeout_ms) < 0 && errno != EINTR) {
      return util::Error::Sys("wait", errno);
    }
    if (TakeSignal(signal_fd) != 0) {
      *signalled = true;
      child->Kill();
    }
  }
  int status = 0;
  while (::wait4(child->pid, &status, 0, nullptr) < 0) {
    if (errno != EINTR) return util::Error::Sys("wait", errno);
  }
  child->collected = true;
  return status;
}

// Builds the sandbox root in this thread's private mount namespace: the
// overlay when the application ships a layer of its own, its files at /app,
// the mount plan. Returns the root; what it mounted is registered for the
// teardown.
util::Result<std::string> MountRoot(const std::string& base_rootfs, const std::string& install_path,
                                    const std::string& app_overlay, bool use_overlay,
                                    std::optional<OverlayMount>* overlay, Teardown* teardown) {
  std::string root = base_rootfs;
  if (use_overlay) {
    std::string run_dir = util::Sprintf("/run/zol-%d", static_cast<int>(::getpid()));
    overlay->emplace(app_overlay, base_rootfs, run_dir);
    if (auto err = (*overlay)->Prepare(); !err.ok()) return err.Wrap("overlay prepare");
    if (auto err = (*overlay)->Mount(); !err.ok()) {
      if (auto rm = util::RemoveAll((*overlay)->run_dir()); !rm.ok()) {
        util::Warn("cleanup runDir after overlay mount failure: %v", rm);
      }
      return err.Wrap("overlay mount");
    }
    root = (*overlay)->merged_dir();
    teardown->Register([overlay] {
      // What stays holds the run's writes and the copy of the host's shadow
      // files: the administrator has to know where.
      if (auto err = (*overlay)->Cleanup(); !err.ok()) {
        util::Warn("run directory %s left behind: %v", (*overlay)->run_dir(), err);
      }
    });
  }

  ZOL_TRY(BindAppFiles(root, util::JoinPath(install_path, "files")));
  std::string app_mount = util::JoinPath(root, kAppPath);
  teardown->Register([app_mount] {
    if (::umount2(app_mount.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW) != 0 && errno != EINVAL) {
      util::Warn("failed to unmount %s: %s", app_mount, util::ErrnoText(errno));
    }
  });

  const MountPlan plan = BuildMountPlan(root, use_overlay);
  ZOL_TRY(PrepareRoot(plan), "build mount plan");
  ZOL_TRY(SetupMountNamespace(plan), "setup mount ns");

  return root;
}

// The privileged path, on its own thread: the mount namespace made here
// belongs to this thread alone, so the rest of the process (the audit record
// and metrics written after the run) stays in the host's. Every step that
// leaves something behind registers its undoing before the next one.
util::Error RunPrivileged(const std::string& base_rootfs, const std::string& install_path,
                          const std::string& app_overlay, bool use_overlay, const std::string& entry_command,
                          const std::vector<std::string>& args, const std::vector<std::string>& env,
                          const SandboxOptions& opts, int signal_fd, bool* signalled) {
  // Outlive the teardown that uses them.
  Child child;
  std::optional<OverlayMount> overlay;
  std::optional<CgroupManager> cgroup;
  Teardown teardown;

  // A mount namespace of this thread's own, private before the first mount.
  if (::unshare(CLONE_NEWNS) != 0) return util::Error::Sys("unshare mount namespace", errno);
  ZOL_TRY(MakeRootPrivate(), "setup mount ns");

  // The root: overlay, /app, the mount plan.
  ZOL_ASSIGN_OR_RETURN(std::string root,
                       MountRoot(base_rootfs, install_path, app_overlay, use_overlay, &overlay, &teardown));

  // The control group, its name this run's alone.
  cgroup.emplace(util::Sprintf("zol-%d", static_cast<int>(::getpid())), opts.mem_limit_mb, opts.cpu_weight,
                 opts.cgroup_root);
  cgroup->Setup();
  teardown.Register([&] { cgroup->Cleanup(); });

  // The terminal comes back to zol-cli's group once the application is gone,
  // however the run ends.
  const bool terminal = HoldsTerminal();
  if (terminal) teardown.Register([] { ReclaimTerminal(); });
  child.cgroup = &*cgroup;
  teardown.Register([&] { child.Kill(); });

  // The application, started in its groups, its root and its own group.
  SandboxChildPlan plan;
  plan.program = entry_command;
  plan.args = args;
  plan.env = env;
  plan.root = root;
  plan.no_new_privs = opts.no_new_privs;
  plan.take_terminal = terminal;
  ZOL_ASSIGN_OR_RETURN(child.pid, StartInGroups(std::move(plan), *cgroup, signal_fd));

  // The wait, while termination signals kill it.
  ZOL_ASSIGN_OR_RETURN(int status, WaitAndCollect(&child, signal_fd, signalled, terminal));
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (code != 0) return util::Error::Msg(util::Sprintf("exit status %d", code));
  return {};
}

// Signals are trapped before anything exists that a default kill would leave
// behind, and given back only after the teardown has finished; a caller that
// holds its own trap longer passes its pipe in. A signal at any point of the
// run, the teardown included, fails it as a signalled run.
util::Error RunTrapped(const std::string& base_rootfs, const std::string& install_path,
                       const std::string& app_overlay, bool use_overlay, const std::string& entry_command,
                       const std::vector<std::string>& args, const std::vector<std::string>& env,
                       const SandboxOptions& opts) {
  std::unique_ptr<SignalTrap> own_trap;
  int signal_fd = opts.signal_fd;
  if (signal_fd < 0) {
    auto trap = SignalTrap::Install();
    if (!trap.ok()) return trap.error();
    own_trap = std::move(*trap);
    signal_fd = own_trap->read_fd();
  }
  bool signalled = false;
  util::Error err = RunPrivileged(base_rootfs, install_path, app_overlay, use_overlay, entry_command, args, env,
                                  opts, signal_fd, &signalled);
  if (TakeSignal(signal_fd) != 0) signalled = true;
  if (err.ok() && signalled) return util::Error::Msg("exit status -1");
  return err;
}

}  // namespace

bool DirHasContent(const std::string& dir) {
  auto names = util::ListDir(dir);
  return names.ok() && !names->empty();
}

util::Result<std::unique_ptr<SignalTrap>> SignalTrap::Install() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return util::Error::Sys("pipe", errno);
  std::unique_ptr<SignalTrap> t(new SignalTrap(util::UniqueFd(fds[0]), util::UniqueFd(fds[1])));
  g_signal_pipe.store(t->write_.get());
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnSignal;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  for (size_t i = 0; i < std::size(kTrappedSignals); ++i) ::sigaction(kTrappedSignals[i], &sa, &t->old_[i]);
  return t;
}

SignalTrap::~SignalTrap() {
  for (size_t i = 0; i < std::size(kTrappedSignals); ++i) ::sigaction(kTrappedSignals[i], &old_[i], nullptr);
  g_signal_pipe.store(-1);
}

util::Error EnterSandbox(const std::string& base_rootfs, const std::string& install_path,
                         const std::string& entry_command, const std::vector<std::string>& args,
                         const std::vector<std::string>& env, const SandboxOptions& opts) {
  std::string app_overlay = util::JoinPath({install_path, "files", "rootfs-overlay"});
  bool use_overlay = DirHasContent(app_overlay);
  util::Error result;
  std::thread privileged([&] {
    // An exception must not end the process past the teardown; caught here,
    // it has unwound through it.
    try {
      result = RunTrapped(base_rootfs, install_path, app_overlay, use_overlay, entry_command, args, env, opts);
    } catch (const std::exception& e) {
      result = util::Error::Msg(std::string("sandbox: ") + e.what());
    } catch (...) {
      result = util::Error::Msg("sandbox: unknown exception");
    }
  });
  privileged.join();
  return result;
}

}  // namespace runtime
