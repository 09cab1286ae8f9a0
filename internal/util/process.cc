// The launch: a Command made into a started child, its standard streams and
// descriptors set up, its start reported and its end awaited.
#include "internal/util/process.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "internal/util/command_policy.h"
#include "internal/util/fd.h"

extern char** environ;

namespace util {

namespace {

std::vector<char*> CStrings(const std::vector<std::string>& v) {
  std::vector<char*> out;
  out.reserve(v.size() + 1);
  for (const auto& s : v) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

// Everything the child needs, prepared before the start so that the child
// only makes async-signal-safe system calls and never allocates: it may be
// running on the parent's memory.
struct ChildPlan {
  const char* exec_path;
  char** argv;
  char** envp;
  int stdio_src[3];  // descriptor to place at 0, 1, 2; -1 keeps the parent's
  const char* dir;  // nullptr: keep the working directory
  int err_fd;
  int max_fd;
  int gate_fd;        // -1, or read until EOF before the set-up
  int gate_write_fd;  // the parent's end, closed in the child
};

[[noreturn]] ZOL_CHILD_CODE void ChildFail(int err_fd) {
  int e = errno;
  ssize_t ignored = ::write(err_fd, &e, sizeof e);
  (void)ignored;
  ::_exit(127);
}

// The parent's handlers must not run in the child (they may run on the
// parent's memory there), nor may its signal mask or an ignored SIGPIPE leak
// into the program. Called with every signal blocked.
ZOL_CHILD_CODE void ResetSignals() {
  struct sigaction dfl;
  std::memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction old;
    if (sig == SIGKILL || sig == SIGSTOP || ::sigaction(sig, nullptr, &old) != 0) continue;
    if (old.sa_handler != SIG_DFL && (old.sa_handler != SIG_IGN || sig == SIGPIPE)) ::sigaction(sig, &dfl, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

[[noreturn]] ZOL_CHILD_CODE void RunChild(const ChildPlan& p) {
  if (p.gate_fd >= 0) {
    ::close(p.gate_write_fd);
    char c;
    while (::read(p.gate_fd, &c, 1) < 0 && errno == EINTR) {
    }
  }
  for (int target = 0; target < 3; ++target) {
    int src = p.stdio_src[target];
    if (src < 0) continue;
    if (src == target) {
      // dup2 onto itself keeps close-on-exec; clear it by hand.
      if (::fcntl(target, F_SETFD, 0) != 0) ChildFail(p.err_fd);
    } else if (::dup2(src, target) < 0) {
      ChildFail(p.err_fd);
    }
  }
  if (p.dir != nullptr && ::chdir(p.dir) != 0) ChildFail(p.err_fd);

  ChildKeepOnlyStdio(p.err_fd, p.max_fd);
  ::execve(p.exec_path, p.argv, p.envp);
  ChildFail(p.err_fd);
}

ZOL_CHILD_CODE int ChildEntry(void* plan) { RunChild(*static_cast<const ChildPlan*>(plan)); }

struct SharedChild {
  int (*fn)(void*);
  void* arg;
};

ZOL_CHILD_CODE int SharedChildEntry(void* p) {
  ResetSignals();
  const SharedChild* c = static_cast<const SharedChild*>(p);
  ::_exit(c->fn(c->arg));
}

// Starts the child with every signal blocked. A forked child gets a copy of
// this process; any other runs on its own small stack in this process's
// memory while the calling thread sleeps until the child has exec'd or
// ended.
pid_t StartChild(int (*fn)(void*), void* arg, bool copy_memory) {
  constexpr size_t kStack = 64 * 1024;
  void* stack = nullptr;
  if (!copy_memory) {
    stack = ::mmap(nullptr, kStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stack == MAP_FAILED) return -1;
  }
  sigset_t all, old;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  SharedChild shared{fn, arg};
  char* stack_top = stack != nullptr ? static_cast<char*>(stack) + kStack : nullptr;
  pid_t pid = copy_memory ? ::fork() : ::clone(SharedChildEntry, stack_top, CLONE_VM | CLONE_VFORK | SIGCHLD, &shared);
  if (pid == 0) {
    ResetSignals();
    ::_exit(fn(arg));
  }
  int saved = errno;
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (stack != nullptr) ::munmap(stack, kStack);
  errno = saved;
  return pid;
}

Result<pid_t> StartImpl(const Command& cmd, int stdout_fd);

}  // namespace

Result<pid_t> StartProcess(const Command& cmd) { return StartImpl(cmd, -1); }

pid_t StartSharedMemoryChild(int (*fn)(void*), void* arg) { return StartChild(fn, arg, /*copy_memory=*/false); }

ZOL_CHILD_CODE void ChildKeepOnlyStdio(int keep, int max_fd) {
  // Only 0, 1 and 2 may reach the program: a descriptor to the audit trail
  // or the registry in a package's script would let it forge records. Marking
  // them close-on-exec (rather than closing) keeps an error pipe alive until
  // the exec itself succeeds.
  if (::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
    for (int fd = 3; fd < max_fd; ++fd) {
      if (fd != keep) ::close(fd);
    }
  }
}

Result<ExecVectors> MakeExecVectors(const std::string& program, const std::vector<std::string>& argv,
                                    const std::vector<std::string>& env) {
  for (const std::vector<std::string>* v : {&argv, &env}) {
    for (const std::string& s : *v) {
      if (s.find('\0') != std::string::npos) return Error::Errno("fork/exec", program, EINVAL);
    }
  }
  return ExecVectors{CStrings(argv), CStrings(env)};
}

Result<StartReport> StartReport::Open() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return Error::Sys("pipe", errno);
  return StartReport(UniqueFd(fds[0]), UniqueFd(fds[1]));
}

size_t StartReport::Await(pid_t pid, void* record, size_t size) {
  write_.Reset();
  ssize_t n;
  do {
    n = ::read(read_.get(), record, size);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return 0;
  Reap(pid);
  return static_cast<size_t>(n);
}

void Reap(pid_t pid) {
  int status;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

int MaxFd() {
  struct rlimit rl;
  if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY) return static_cast<int>(rl.rlim_cur);
  return 1024;
}

namespace {

// `stdout_fd` >= 0 replaces cmd.stdout_mode (for captured output).
Result<pid_t> StartImpl(const Command& cmd, int stdout_fd) {
  if (cmd.path.empty()) return Error::Msg("exec: no command");
  auto exec_path = LookPath(cmd.path);
  if (!exec_path.ok()) return exec_path.error();

  std::vector<std::string> argv_s;
  argv_s.reserve(cmd.args.size() + 1);
  argv_s.push_back(cmd.path);
  argv_s.insert(argv_s.end(), cmd.args.begin(), cmd.args.end());
  std::vector<std::string> env_s;
  if (cmd.env.has_value()) {
    env_s = *cmd.env;
  } else {
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) env_s.emplace_back(*e);
  }
  ZOL_ASSIGN_OR_RETURN(ExecVectors vectors, MakeExecVectors(*exec_path, argv_s, env_s));

  UniqueFd null_fd;
  if (cmd.stdin_mode == Stdio::kNull || cmd.stdout_mode == Stdio::kNull || cmd.stderr_mode == Stdio::kNull) {
    null_fd.Reset(::open("/dev/null", O_RDWR | O_CLOEXEC));
    if (!null_fd.valid()) return Error::Errno("open", "/dev/null", errno);
  }
  auto src_for = [&](Stdio mode, bool is_stdout) {
    switch (mode) {
      case Stdio::kNull: return null_fd.get();
      case Stdio::kToStderr: return is_stdout ? 2 : -1;
      case Stdio::kInherit: break;
    }
    return -1;
  };

  ZOL_ASSIGN_OR_RETURN(StartReport report, StartReport::Open());

  int max_fd = MaxFd();

  ChildPlan plan{};
  plan.exec_path = exec_path->c_str();
  plan.argv = vectors.argv.data();
  plan.envp = vectors.envp.data();
  plan.stdio_src[0] = src_for(cmd.stdin_mode, false);
  plan.stdio_src[1] = stdout_fd >= 0 ? stdout_fd : src_for(cmd.stdout_mode, true);
  plan.stdio_src[2] = src_for(cmd.stderr_mode, false);
  plan.dir = cmd.dir.empty() ? nullptr : cmd.dir.c_str();
  plan.err_fd = report.child_fd();
  plan.max_fd = max_fd;
  UniqueFd gate_read, gate_write;
  if (cmd.before_exec) {
    int gate[2];
    if (::pipe2(gate, O_CLOEXEC) != 0) return Error::Sys("pipe", errno);
    gate_read.Reset(gate[0]);
    gate_write.Reset(gate[1]);
  }
  plan.gate_fd = gate_read.valid() ? gate_read.get() : -1;
  plan.gate_write_fd = gate_write.get();

  // Our own buffered progress lines must come out before the child's.
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = StartChild(ChildEntry, &plan, /*copy_memory=*/static_cast<bool>(cmd.before_exec));
  if (pid < 0) return Error::Sys("fork", errno);
  if (cmd.before_exec) {
    gate_read.Reset();
    if (Error err = cmd.before_exec(pid); !err.ok()) {
      ::kill(pid, SIGKILL);
      Reap(pid);
      return err;
    }
    gate_write.Reset();
  }
  int child_errno = 0;
  if (report.Await(pid, &child_errno, sizeof child_errno) > 0) return Error::Errno("fork/exec", *exec_path, child_errno);
  return pid;
}

}  // namespace

Result<int> WaitProcess(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return Error::Sys("wait", errno);
  }
  return status;
}

Error RunProcess(const Command& cmd) {
  auto pid = StartProcess(cmd);
  if (!pid.ok()) return pid.error();
  auto status = WaitProcess(*pid);
  if (!status.ok()) return status.error();
  return WaitStatusError(*status);
}

Result<std::string> RunProcessOutput(const Command& cmd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return Error::Sys("pipe", errno);
  UniqueFd out_read(fds[0]);
  UniqueFd out_write(fds[1]);
  auto pid = StartImpl(cmd, out_write.get());
  out_write.Reset();
  if (!pid.ok()) return pid.error();
  std::string output;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(out_read.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    output.append(buf, static_cast<size_t>(n));
  }
  auto status = WaitProcess(*pid);
  if (!status.ok()) return status.error();
  ZOL_TRY(WaitStatusError(*status));
  return output;
}

}  // namespace util
