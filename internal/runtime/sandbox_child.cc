#include "internal/runtime/sandbox_child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "internal/util/process.h"

namespace runtime {

namespace {

// The step a failed child reports through its error pipe.
enum Step : int { kChroot = 1, kChdir, kProcessGroup, kExec };

struct Report {
  int step;
  int err;
};

// One membership file as the child sees it; it fills in `op` and `err`.
struct JoinSlot {
  const char* path;
  bool stop;
  const char* op;  // nullptr: not tried
  int err;
};

// Everything the child needs, prepared before the start so that the child
// only makes async-signal-safe system calls and never allocates: it runs on
// this process's memory, and what it writes here the parent reads after.
struct ChildState {
  const char* program;
  char** argv;
  char** envp;
  const char* root;
  JoinSlot* joins;
  size_t join_count;
  bool no_new_privs;
  bool take_terminal;
  int err_fd;
  int max_fd;
  // Written by the child.
  int terminal_err;
  int no_new_privs_err;
  char interpreter[256];  // a "#!" line's program that the root lacks; empty otherwise
};

[[noreturn]] ZOL_CHILD_CODE void Fail(const ChildState& s, int step) {
  Report r{step, errno};
  ssize_t ignored = ::write(s.err_fd, &r, sizeof r);
  (void)ignored;
  ::_exit(127);
}

ZOL_CHILD_CODE void JoinGroups(const ChildState& s) {
  char pid[16];
  size_t n = 0;
  for (unsigned v = static_cast<unsigned>(::getpid()); v != 0; v /= 10) pid[n++] = static_cast<char>('0' + v % 10);
  for (size_t i = 0; i < n / 2; ++i) {
    char c = pid[i];
    pid[i] = pid[n - 1 - i];
    pid[n - 1 - i] = c;
  }
  for (size_t i = 0; i < s.join_count; ++i) {
    JoinSlot& j = s.joins[i];
    int fd = ::open(j.path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      j.op = "open";
      j.err = errno;
    } else {
      ssize_t w = ::write(fd, pid, n);
      j.op = "write";
      j.err = w < 0 ? errno : static_cast<size_t>(w) != n ? EIO : 0;
      ::close(fd);
    }
    if (j.err != 0 && j.stop) return;
  }
}

// A background group may set the terminal's foreground only with SIGTTOU
// blocked; otherwise the kernel stops it instead.
ZOL_CHILD_CODE void TakeTerminal(ChildState& s) {
  sigset_t ttou, old;
  sigemptyset(&ttou);
  sigaddset(&ttou, SIGTTOU);
  ::sigprocmask(SIG_BLOCK, &ttou, &old);
  if (::tcsetpgrp(STDIN_FILENO, ::getpid()) != 0) s.terminal_err = errno;
  ::sigprocmask(SIG_SETMASK, &old, nullptr);
}

// After exec said "no such file or directory" for a program that exists: the
// missing file is the interpreter its "#!" line names. Read without blocking,
// since the layer decides what the path is.
ZOL_CHILD_CODE void FindMissingInterpreter(ChildState& s) {
  int fd = ::open(s.program, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return;
  char head[sizeof s.interpreter + 2];
  ssize_t n = ::read(fd, head, sizeof head - 1);
  ::close(fd);
  if (n < 3 || head[0] != '#' || head[1] != '!') return;
  ssize_t at = 2;
  while (at < n && (head[at] == ' ' || head[at] == '\t')) ++at;
  size_t len = 0;
  while (at < n && head[at] != ' ' && head[at] != '\t' && head[at] != '\n' && head[at] != '\0' &&
         len + 1 < sizeof s.interpreter) {
    s.interpreter[len++] = head[at++];
  }
  s.interpreter[len] = '\0';
  if (len == 0 || ::access(s.interpreter, F_OK) == 0) s.interpreter[0] = '\0';
}

// The sandboxed application's own steps, from its start to its exec.
ZOL_CHILD_CODE int RunSandboxChild(void* arg) {
  ChildState& s = *static_cast<ChildState*>(arg);
  // In its control groups before anything else: what it starts stays there.
  JoinGroups(s);
  // The sandbox root becomes its root and working directory; it inherited
  // the run's private mount namespace, so the root's mounts are in place.
  if (::chroot(s.root) != 0) Fail(s, kChroot);
  if (::chdir("/") != 0) Fail(s, kChdir);
  // Its own process group: the end-of-run kill of a tree and the terminal's
  // job control address it apart from zol-cli.
  if (::setpgid(0, 0) != 0) Fail(s, kProcessGroup);
  // A program that reads its terminal from a background group is stopped by
  // SIGTTIN: the group takes the foreground before the program runs.
  if (s.take_terminal) TakeTerminal(s);
  // Kept across the exec: no set-id program or file capability raises it.
  if (s.no_new_privs && ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) s.no_new_privs_err = errno;
  // Only 0, 1 and 2 reach the program.
  util::ChildKeepOnlyStdio(s.err_fd, s.max_fd);
  ::execve(s.program, s.argv, s.envp);
  int err = errno;
  if (err == ENOENT) FindMissingInterpreter(s);
  errno = err;
  Fail(s, kExec);
}

util::Error StepError(const SandboxChildPlan& plan, const ChildState& s, const Report& r) {
  switch (r.step) {
    case kChroot: return util::Error::Errno("chroot", plan.root, r.err);
    case kChdir: return util::Error::Errno("chdir", "/", r.err);
    case kProcessGroup: return util::Error::Sys("new process group", r.err);
    default: break;
  }
  if (s.interpreter[0] != '\0') {
    return util::Error::WithCause(std::string("interpreter ") + s.interpreter + " not found",
                                  util::Error::Sys("", r.err))
        .Wrap("fork/exec " + plan.program);
  }
  return util::Error::Errno("fork/exec", plan.program, r.err);
}

}  // namespace

util::Result<SandboxChild> StartSandboxChild(const SandboxChildPlan& plan) {
  std::vector<std::string> argv_s;
  argv_s.reserve(plan.args.size() + 1);
  argv_s.push_back(plan.program);
  argv_s.insert(argv_s.end(), plan.args.begin(), plan.args.end());
  ZOL_ASSIGN_OR_RETURN(util::ExecVectors vectors, util::MakeExecVectors(plan.program, argv_s, plan.env));
  std::vector<JoinSlot> joins;
  joins.reserve(plan.joins.size());
  for (const SandboxChildPlan::Join& j : plan.joins) joins.push_back({j.path.c_str(), j.stop, nullptr, 0});

  ZOL_ASSIGN_OR_RETURN(util::StartReport report, util::StartReport::Open());

  ChildState s{};
  s.program = plan.program.c_str();
  s.argv = vectors.argv.data();
  s.envp = vectors.envp.data();
  s.root = plan.root.c_str();
  s.joins = joins.data();
  s.join_count = joins.size();
  s.no_new_privs = plan.no_new_privs;
  s.take_terminal = plan.take_terminal;
  s.err_fd = report.child_fd();
  s.max_fd = util::MaxFd();

  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = util::StartSharedMemoryChild(RunSandboxChild, &s);
  if (pid < 0) return util::Error::Sys("fork", errno);

  // What the child wrote into its state is final: the start returns once it
  // has exec'd or ended.
  SandboxChild child;
  child.pid = pid;
  for (const JoinSlot& j : joins) {
    if (j.op == nullptr) break;
    child.joins.push_back(j.err == 0 ? util::Error() : util::Error::Errno(j.op, j.path, j.err));
  }
  if (s.terminal_err != 0) {
    child.warnings.push_back("could not give the terminal to the application: " +
                             util::Error::Sys("", s.terminal_err).message());
  }
  if (s.no_new_privs_err != 0) {
    child.warnings.push_back("failed to set no-new-privs: " + util::Error::Sys("", s.no_new_privs_err).message());
  }

  Report r{};
  if (size_t n = report.Await(pid, &r, sizeof r); n > 0) {
    if (n != sizeof r) r = Report{kExec, EIO};
    return StepError(plan, s, r);
  }
  return child;
}

bool HoldsTerminal() { return ::isatty(STDIN_FILENO) == 1 && ::tcgetpgrp(STDIN_FILENO) == ::getpgrp(); }

namespace {

// tcsetpgrp from a group not in the foreground raises SIGTTOU, which would
// stop zol-cli: it is blocked for the call.
void SetForeground(pid_t pgid) {
  sigset_t ttou, old;
  sigemptyset(&ttou);
  sigaddset(&ttou, SIGTTOU);
  ::pthread_sigmask(SIG_BLOCK, &ttou, &old);
  if (::tcgetpgrp(STDIN_FILENO) != pgid) {
    int ignored = ::tcsetpgrp(STDIN_FILENO, pgid);
    (void)ignored;
  }
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace

void ReclaimTerminal() { SetForeground(::getpgrp()); }

void GiveTerminal(pid_t pgid) { SetForeground(pgid); }

}  // namespace runtime
