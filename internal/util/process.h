// Starting programs: the one place where this system forks and execs.
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
#include <string_view>
#include <vector>

#include "internal/util/error.h"

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

  // Sandbox set-up done in the child before exec, in this order: chroot to
  // `chroot_dir` then chdir to `dir` (or "/"), a new process group, the
  // no-new-privileges bit.
  std::string chroot_dir;
  bool new_process_group = false;
  bool no_new_privs = false;

  // When set, runs in the parent right after the fork while the child waits
  // before its set-up and exec; a failure kills and collects the child and is
  // returned. Lets a caller place the child (a control group, say) before the
  // program can start anything of its own. Such a start forks; every other
  // start borrows the parent's memory until the exec (no page tables copied,
  // no page copied on write), which is what makes a short program cheap to
  // start from a large or multi-threaded process.
  std::function<Error(pid_t)> before_exec;

  // Control-group membership files ("cgroup.procs") the child writes its own
  // pid into, in order, before the rest of its set-up, so that the program
  // runs inside its groups from its first instruction. A failed file with
  // `stop` set ends the joining, any other failure does not; the start goes
  // on either way. *joined, when set, receives the result of every file
  // tried (ok or the failure), in order. Not together with before_exec.
  struct JoinFile {
    std::string path;
    bool stop = false;
  };
  std::vector<JoinFile> join_files;
  std::vector<Error>* joined = nullptr;
};

// The path exec would use for `name`: `name` itself when it holds "/", else
// the first executable regular file named so in a PATH element. Failure text:
// exec: "NAME": executable file not found in $PATH
Result<std::string> LookPath(const std::string& name);

// Forks and execs. An exec failure in the child is reported through a
// close-on-exec pipe as "fork/exec PATH: reason". Returns the child's pid.
Result<pid_t> StartProcess(const Command& cmd);

// Waits for pid (retrying on EINTR) and returns the raw wait status.
Result<int> WaitProcess(pid_t pid);

// A signal's description as strsignal gives it, its first letter lower case
// unless it starts an abbreviation ("terminated", "I/O possible").
std::string SignalText(int sig);

// Whether a program path or argument holds a character a shell would give a
// meaning (` $ ; & | > < line feed, carriage return), or a NUL byte (which
// would silently cut the text the kernel sees) when `nul` forbids it.
enum class NulByte { kAllowed, kForbidden };
bool HasShellMetachar(std::string_view s, NulByte nul);

// The error for a raw wait status: ok for exit 0, "exit status N",
// "signal: killed" (the signal's name as strsignal gives it, lower case).
Error WaitStatusError(int status);

// The process's environment with `name` set to `value`; an inherited entry
// of that name is dropped, since with two entries getenv sees the first.
std::vector<std::string> EnvironWith(const std::string& name, const std::string& value);

// StartProcess then WaitProcess then WaitStatusError.
Error RunProcess(const Command& cmd);

// Like RunProcess, but the child's standard output is captured and returned;
// its standard error follows cmd.stderr_mode.
Result<std::string> RunProcessOutput(const Command& cmd);

}  // namespace util
