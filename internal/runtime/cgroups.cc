#include "internal/runtime/cgroups.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <limits>
#include <set>

#include "internal/runtime/proc_text.h"
#include "internal/util/fd.h"
#include "internal/util/files.h"
#include "internal/util/log.h"
#include "internal/util/paths.h"
#include "internal/util/strings.h"

namespace runtime {

namespace {

util::Error WriteControl(const std::string& path, const std::string& value) {
  util::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.valid()) return util::Error::Errno("open", path, errno);
  ssize_t n = ::write(fd.get(), value.data(), value.size());
  if (n < 0) return util::Error::Errno("write", path, errno);
  if (static_cast<size_t>(n) != value.size()) return util::Error::Errno("write", path, EIO);
  return {};
}

util::Error WriteControl(const std::string& path, int64_t value) {
  return WriteControl(path, std::to_string(value));
}

// Removes one group directory; "does not exist" is not a failure. Processes
// just sent SIGKILL leave the group only once the kernel has finished them,
// so a busy group is retried for a short while before it is reported.
void RemoveGroup(const std::string& dir, bool wait_busy = false) {
  int rc = ::rmdir(dir.c_str());
  for (int i = 0; rc != 0 && errno == EBUSY && wait_busy && i < 2000; ++i) {
    ::usleep(1000);
    rc = ::rmdir(dir.c_str());
  }
  if (rc != 0 && errno != ENOENT) {
    util::Warn("failed to remove cgroup path %s: %v", dir, util::Error::Errno("remove", dir, errno));
  }
}

// Creates a group of the name `base` under each of `parents`, or, where any
// of them has that name already, of the first name base-1, base-2, ... that
// none has: a group of the name belongs to another run (one with the same pid
// in another pid namespace, or the leftover of one killed), and joining,
// killing or removing it would reach that run's processes. The hierarchy
// itself is never created: below a controller that is not mounted it would
// be a plain directory, whose "cgroup.procs" limits nothing and lists the
// application's pid for a kill long after that pid was collected. Returns
// the name and, per parent, 0 or the errno of its mkdir.
std::string MakeOwnGroups(const std::string& base, const std::vector<std::string>& parents, std::vector<int>* errs) {
  std::string name = base;
  for (int n = 1;; ++n) {
    errs->assign(parents.size(), 0);
    std::vector<std::string> made;
    bool taken = false;
    for (size_t i = 0; i < parents.size() && !taken; ++i) {
      std::string dir = util::JoinPath(parents[i], name);
      if (::mkdir(dir.c_str(), 0755) == 0) {
        made.push_back(dir);
      } else if (errno == EEXIST && n <= 1000) {
        taken = true;
      } else {
        (*errs)[i] = errno;
      }
    }
    if (!taken) return name;
    for (const std::string& dir : made) ::rmdir(dir.c_str());
    name = base + "-" + std::to_string(n);
  }
}

}  // namespace

std::optional<int64_t> MemoryLimitBytes(int64_t mem_limit_mb) {
  if (mem_limit_mb <= 0) return std::nullopt;
  // A shift past bit 62 is undefined for a signed value; such a limit could not
  // be honoured anyway, so the caller runs without one rather than with garbage.
  if (mem_limit_mb > (std::numeric_limits<int64_t>::max() >> 20)) return std::nullopt;
  return mem_limit_mb << 20;
}

int64_t CpuSharesFromWeight(int64_t cpu_weight) {
  constexpr int64_t kMin = 2, kMax = 262144;
  // Past this weight the product would overflow; the clamp gives kMax anyway.
  if (cpu_weight > kMax * 100 / 1024 + 1) return kMax;
  int64_t shares = cpu_weight * 1024 / 100;
  return std::clamp(shares, kMin, kMax);
}

int64_t CpuWeightV2(int64_t cpu_weight) { return std::min<int64_t>(cpu_weight, 10000); }

CgroupManager::CgroupManager(std::string name, int64_t mem_limit_mb, int64_t cpu_weight, std::string root)
    : name_(std::move(name)), mem_limit_mb_(mem_limit_mb), cpu_weight_(cpu_weight), root_(std::move(root)) {
  struct stat st;
  is_v2_ = ::stat(util::JoinPath(root_, "cgroup.controllers").c_str(), &st) == 0;
}

void CgroupManager::Setup() {
  if (is_v2_) {
    SetupV2();
  } else {
    SetupV1();
  }
}

void CgroupManager::SetupV2() {
  std::vector<int> errs;
  name_ = MakeOwnGroups(name_, {root_}, &errs);
  std::string dir = util::JoinPath(root_, name_);
  if (errs[0] != 0) {
    util::Warn("cgroup v2 mkdir %s: %v", dir, util::Error::Errno("mkdir", dir, errs[0]));
    return;
  }
  v2_path_ = dir;
  if (mem_limit_mb_ > 0) {
    auto bytes = MemoryLimitBytes(mem_limit_mb_);
    util::Error err = bytes ? WriteControl(util::JoinPath(dir, "memory.max"), *bytes)
                            : util::Error::Msg(util::Sprintf("memory limit of %lld MiB is too large",
                                                             static_cast<long long>(mem_limit_mb_)));
    if (!err.ok()) util::Warn("cgroup v2 set memory.max: %v", err);
  }
  if (cpu_weight_ > 0) {
    if (auto err = WriteControl(util::JoinPath(dir, "cpu.weight"), CpuWeightV2(cpu_weight_)); !err.ok()) {
      util::Warn("cgroup v2 set cpu.weight: %v", err);
    }
  }
}

// Each controller on its own: a limit that cannot be applied is named in a
// warning and never takes another one with it.
void CgroupManager::SetupV1() {
  std::optional<int64_t> bytes = MemoryLimitBytes(mem_limit_mb_);
  if (mem_limit_mb_ > 0 && !bytes) {
    util::Warn("cgroup v1 set memory.limit_in_bytes: memory limit of %d MiB is too large", mem_limit_mb_);
  }
  std::vector<std::string> controllers = {"pids"};
  if (bytes) controllers.push_back("memory");
  if (cpu_weight_ > 0) controllers.push_back("cpu");
  std::vector<std::string> parents;
  for (const std::string& c : controllers) parents.push_back(util::JoinPath(root_, c));
  std::vector<int> errs;
  name_ = MakeOwnGroups(name_, parents, &errs);

  for (size_t i = 0; i < controllers.size(); ++i) {
    const std::string& c = controllers[i];
    std::string dir = util::JoinPath(parents[i], name_);
    if (errs[i] != 0) {
      util::Warn("cgroup v1 %s mkdir %s: %v", c, dir, util::Error::Errno("mkdir", dir, errs[i]));
      continue;
    }
    if (c == "pids") {
      // No limit: the group lists the application's processes for the kill.
      v1_pids_path_ = dir;
    } else if (c == "memory") {
      if (auto err = WriteControl(util::JoinPath(dir, "memory.limit_in_bytes"), *bytes); !err.ok()) {
        util::Warn("cgroup v1 set memory.limit_in_bytes: %v", err);
        RemoveGroup(dir);
        continue;
      }
      if (auto err = WriteControl(util::JoinPath(dir, "memory.memsw.limit_in_bytes"), *bytes); !err.ok()) {
        util::Warn("cgroup v1 set memory.memsw.limit_in_bytes: %v", err);
      }
      v1_mem_path_ = dir;
    } else {
      if (auto err = WriteControl(util::JoinPath(dir, "cpu.shares"), CpuSharesFromWeight(cpu_weight_)); !err.ok()) {
        util::Warn("cgroup v1 set cpu.shares: %v", err);
        RemoveGroup(dir);
        continue;
      }
      v1_cpu_path_ = dir;
    }
  }
}

std::vector<CgroupManager::ProcsFile> CgroupManager::ProcsFiles() const {
  std::vector<ProcsFile> files;
  auto add = [&](const std::string& dir, const char* context, bool stop) {
    if (!dir.empty()) files.push_back({util::JoinPath(dir, "cgroup.procs"), context, stop});
  };
  if (is_v2_) {
    add(v2_path_, "add PID to cgroup v2", true);
    return files;
  }
  add(v1_pids_path_, "add PID to pids cgroup v1", false);
  add(v1_mem_path_, "add PID to memory cgroup v1", true);
  add(v1_cpu_path_, "add PID to cpu cgroup v1", true);
  return files;
}

util::Error CgroupManager::AddResult(const std::vector<ProcsFile>& files, const std::vector<util::Error>& results) {
  for (size_t i = 0; i < files.size() && i < results.size(); ++i) {
    if (results[i].ok()) continue;
    if (files[i].stop) return results[i].Wrap(files[i].context);
    util::Warn("%s: %v", files[i].context, results[i]);
  }
  return {};
}

bool CgroupManager::KillGroup(bool tree_follows) const {
  if (is_v2_) {
    if (v2_path_.empty()) return false;
    if (auto err = WriteControl(util::JoinPath(v2_path_, "cgroup.kill"), "1"); !err.ok()) {
      util::Warn("%s: %v", tree_follows ? "cgroup.kill failed, falling back to killTree" : "cgroup.kill failed", err);
      return false;
    }
    return true;
  }
  if (v1_pids_path_.empty()) return false;
  return KillCgroupV1Pids(v1_pids_path_);
}

void CgroupManager::Cleanup() {
  for (const std::string* p : {&v2_path_, &v1_pids_path_, &v1_mem_path_, &v1_cpu_path_}) {
    if (!p->empty()) RemoveGroup(*p, /*wait_busy=*/true);
  }
}

bool KillCgroupV1Pids(const std::string& pids_path) {
  // A process that forks while it is killed adds members after the list was
  // read, so the list is read again until it shows no process that has not
  // been signalled yet, twice in a row (a fork that was past the kernel's
  // last check for a pending kill when the parent was signalled attaches
  // its child a moment later). A process with SIGKILL pending forks no more;
  // one still listed is dying and is not signalled again. Bounded, so a
  // group that keeps growing cannot hold the run forever.
  const std::string procs = util::JoinPath(pids_path, "cgroup.procs");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  std::set<pid_t> signalled;
  for (int quiet_reads = 0; quiet_reads < 2 && std::chrono::steady_clock::now() < deadline;) {
    auto data = util::ReadFile(procs);
    if (!data.ok()) {
      if (!signalled.empty()) return true;  // the group went away meanwhile
      util::Warn("cgroup v1 read cgroup.procs: %v", data.error());
      return false;
    }
    bool found_new = false;
    for (const std::string& line : SplitLines(*data)) {
      pid_t pid = 0;
      if (line.empty() || !ParsePid(line, &pid) || pid <= 1 || !signalled.insert(pid).second) continue;
      found_new = true;
      if (::kill(pid, SIGKILL) != 0 && errno != ESRCH) {
        util::Warn("kill pid %d: %s", pid, util::ErrnoText(errno));
      }
    }
    if (found_new) {
      quiet_reads = 0;
    } else if (signalled.empty()) {
      break;  // an empty group: no process in it can be forking
    } else if (++quiet_reads < 2) {
      ::usleep(1000);
    }
  }
  return true;
}

}  // namespace runtime
