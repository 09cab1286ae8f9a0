// The application's process in the sandbox: the steps between the start
// and the exec that place it, in order, and the report of the step that
// failed.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "internal/util/error.h"

namespace runtime {

struct SandboxChildPlan {
  std::string program;  // resolved inside `root`
  std::vector<std::string> args;  // after argv[0], which is `program`
  std::vector<std::string> env;   // the whole environment
  std::string root;               // chroot target; the working directory is its "/"
  // Membership files ("cgroup.procs") the child writes its own pid into
  // before anything else, so that the program runs inside its groups from
  // its first instruction. A failed file with `stop` set ends the joining.
  struct Join {
    std::string path;
    bool stop = false;
  };
  std::vector<Join> joins;
  bool no_new_privs = true;
  // Standard input is the terminal that the caller's process group holds in
  // the foreground: the application's group gets it for the run.
  bool take_terminal = false;
};

struct SandboxChild {
  pid_t pid = 0;
  // One result per join tried, in order (ok or the failure).
  std::vector<util::Error> joins;
  // Steps that failed without stopping the start (the terminal, no new
  // privileges), as warning texts.
  std::vector<std::string> warnings;
};

// Starts the application. An error names the step that failed before the
// exec ("chroot ROOT: ...", "chdir /: ...", "new process group: ...",
// "fork/exec PROGRAM: ..."); the child is then collected.
util::Result<SandboxChild> StartSandboxChild(const SandboxChildPlan& plan);

// Whether standard input is a terminal whose foreground group is ours.
bool HoldsTerminal();
// Gives the terminal on standard input back to this process's group.
void ReclaimTerminal();
// Makes process group pgid the foreground group of the terminal on standard
// input.
void GiveTerminal(pid_t pgid);

}  // namespace runtime
