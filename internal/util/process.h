// Starting programs: the one place where this system forks and execs. What a
// command means apart from its start (its program on PATH, how it ended, its
// environment) is in command_policy.h.
//
// Programs get an explicit argument vector through execve, never a shell; a
// bare name is looked up on PATH by LookPath (no shell fallback on ENOEXEC).
// Only descriptors 0, 1 and 2 reach the child. Standard output is flushed
// before the fork so progress lines stay in order with the child's output.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "internal/util/error.h"
#include "internal/util/fd.h"

namespace util {

enum class Stdio {
  kInherit,   // the parent's descriptor
  kNull,      // /dev/null
  kToStderr,  // (stdout only) the parent's standard error
};

struct Command {
  // Program path; a name without "/" is looked up on PATH when started.
  std::string path;
  // Arguments after the program name; argv[0] is `path` as given.
  std::vector<std::string> args;
  // The whole environment ("NAME=value"); nullopt inherits the process's.
  std::optional<std::vector<std::string>> env;
  // Working directory of the child; empty inherits.
  std::string dir;
  Stdio stdin_mode = Stdio::kInherit;
  Stdio stdout_mode = Stdio::kInherit;
  Stdio stderr_mode = Stdio::kInherit;

  // When set, runs in the parent right after the fork while the child waits
  // before its set-up and exec; a failure kills and collects the child and is
  // returned. Lets a caller place the child (a control group, say) before the
  // program can start anything of its own. Such a start forks; every other
  // start borrows the parent's memory until the exec (no page tables copied,
  // no page copied on write), which is what makes a short program cheap to
  // start from a large or multi-threaded process.
  std::function<Error(pid_t)> before_exec;
};

// The child's code of a start that shares this process's memory may run on
// a stack of its own, where the address sanitizer's bookkeeping of stack
// frames would outlive it.
#define ZOL_CHILD_CODE __attribute__((no_sanitize_address))

// The low-level start for a caller that has set-up steps of its own before
// the exec: runs fn(arg) in a child that borrows this process's memory on a
// small stack of its own (no page tables copied) while the calling thread
// sleeps until the child has exec'd or ended, so what fn writes into memory
// it was handed is seen by the caller afterwards. Before fn runs, the
// parent's signal handlers are reset to the default and the signal mask is
// emptied (signals stay blocked until then, so no handler of the parent runs
// in the child). fn may only make async-signal-safe system calls, must not
// allocate, and must end in exec or _exit. Returns the pid, or -1 with errno.
pid_t StartSharedMemoryChild(int (*fn)(void*), void* arg);

// In such a child: marks every descriptor but 0, 1 and 2 close-on-exec (or
// closes it, where the kernel cannot mark a range), except `keep`, which must
// already be close-on-exec. `max_fd` bounds the fallback.
ZOL_CHILD_CODE void ChildKeepOnlyStdio(int keep, int max_fd);

// The soft limit on descriptors, the bound for ChildKeepOnlyStdio.
int MaxFd();

// argv and envp as execve takes them: pointers into the strings given, which
// must outlive them, each list ending in nullptr.
struct ExecVectors {
  std::vector<char*> argv;
  std::vector<char*> envp;
};
// A C string ends at a NUL byte: an entry holding one would reach the
// program cut short and silently changed, so it fails the way exec refuses
// it, "fork/exec PROGRAM: invalid argument" with `program` as shown.
Result<ExecVectors> MakeExecVectors(const std::string& program, const std::vector<std::string>& argv,
                                    const std::vector<std::string>& env);

// The close-on-exec pipe through which a started child tells its parent why
// it did not reach its exec. The exec closes the child's end, so a pipe that
// closes empty means the program runs.
class StartReport {
 public:
  static Result<StartReport> Open();

  // The end the child writes its report to, whole, before it exits.
  int child_fd() const { return write_.get(); }
  // In the parent, once the child is started: drops the parent's copy of the
  // child's end, then waits until the child has exec'd (0) or reported. A
  // report, up to `size` bytes, lands in `record`, and the child, which
  // exits after reporting, has been reaped; the count says how much came.
  size_t Await(pid_t pid, void* record, size_t size);

 private:
  StartReport(UniqueFd read, UniqueFd write) : read_(std::move(read)), write_(std::move(write)) {}
  UniqueFd read_;
  UniqueFd write_;
};

// Collects a child that has ended or been killed, its status unwanted.
void Reap(pid_t pid);

// Forks and execs. An exec failure in the child is reported through a
// close-on-exec pipe as "fork/exec PATH: reason". Returns the child's pid.
Result<pid_t> StartProcess(const Command& cmd);

// Waits for pid (retrying on EINTR) and returns the raw wait status.
Result<int> WaitProcess(pid_t pid);

// StartProcess then WaitProcess then WaitStatusError.
Error RunProcess(const Command& cmd);

// Like RunProcess, but the child's standard output is captured and returned;
// its standard error follows cmd.stderr_mode.
Result<std::string> RunProcessOutput(const Command& cmd);

}  // namespace util
