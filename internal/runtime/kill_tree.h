// The kill of a process and everything it started, for when no control group
// can kill them: the tree is read from the process table.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace runtime {

// SIGKILLs pid and all its descendants seen in `proc_root`, children before
// parents. A process already gone is reported only with `warn_gone`: after a
// group kill it is the expected outcome.
void KillTree(pid_t pid, const std::string& proc_root = "/proc", bool warn_gone = true);

// One process of the tree snapshot.
struct ProcInfo {
  pid_t pid;
  pid_t ppid;
};
// The order in which KillTree signals: pid and its descendants in `procs`,
// every process after all of its children in the set.
std::vector<pid_t> KillOrder(pid_t pid, const std::vector<ProcInfo>& procs);

}  // namespace runtime
