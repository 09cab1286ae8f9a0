#include "internal/runtime/kill_tree.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <set>

#include "internal/runtime/proc_text.h"
#include "internal/util/dir_list.h"
#include "internal/util/files.h"
#include "internal/util/log.h"
#include "internal/util/paths.h"
#include "internal/util/strings.h"

namespace runtime {

std::vector<pid_t> KillOrder(pid_t pid, const std::vector<ProcInfo>& procs) {
  std::set<pid_t> members = {pid};
  for (bool grew = true; grew;) {
    grew = false;
    for (const ProcInfo& p : procs) {
      if (!members.count(p.pid) && members.count(p.ppid)) {
        members.insert(p.pid);
        grew = true;
      }
    }
  }
  std::vector<pid_t> order;
  std::set<pid_t> signalled;
  for (size_t round = 0; round < members.size() && signalled.size() < members.size(); ++round) {
    for (pid_t m : members) {
      if (signalled.count(m)) continue;
      bool has_pending_child = std::any_of(procs.begin(), procs.end(), [&](const ProcInfo& p) {
        return p.ppid == m && p.pid != m && members.count(p.pid) && !signalled.count(p.pid);
      });
      if (has_pending_child) continue;
      order.push_back(m);
      signalled.insert(m);
    }
  }
  return order;
}

void KillTree(pid_t pid, const std::string& proc_root, bool warn_gone) {
  auto names = util::ListDir(proc_root);
  if (!names.ok()) {
    if (::kill(-pid, SIGKILL) != 0) {
      util::Warn("killTree fallback kill: %s", util::ErrnoText(errno));
    }
    return;
  }
  std::vector<ProcInfo> procs;
  for (const std::string& name : *names) {
    pid_t p = 0;
    if (!ParsePid(name, &p) || p <= 1) continue;
    auto status = util::ReadFile(proc_root + "/" + name + "/status");
    if (!status.ok()) continue;
    pid_t ppid = 0;
    for (const std::string& line : SplitLines(*status)) {
      if (!util::HasPrefix(line, "PPid:")) continue;
      std::string_view rest(line);
      rest.remove_prefix(5);
      while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
      while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t')) rest.remove_suffix(1);
      if (!ParsePid(rest, &ppid)) ppid = 0;
      break;
    }
    procs.push_back({p, ppid});
  }
  for (pid_t victim : KillOrder(pid, procs)) {
    if (::kill(victim, SIGKILL) != 0 && (warn_gone || errno != ESRCH)) {
      util::Warn("killTree: failed to kill pid %d: %s", victim, util::ErrnoText(errno));
    }
  }
}

}  // namespace runtime
