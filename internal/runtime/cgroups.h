// The run's control group: limits, membership, kill and removal, for both
// the unified (v2) and the per-controller (v1) layouts.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "internal/util/error.h"

namespace runtime {

// Where the hierarchies live in production.
inline constexpr const char* kCgroupRoot = "/sys/fs/cgroup";

// Memory limit in bytes for `mem_limit_mb` mebibytes; nullopt when the value
// is 0 or less (no limit) or when the product would not fit in 63 bits.
std::optional<int64_t> MemoryLimitBytes(int64_t mem_limit_mb);
// v1 "cpu.shares" for a v2-scale weight: weight*1024/100 clamped to 2..262144
// (computed without overflow for any positive weight).
int64_t CpuSharesFromWeight(int64_t cpu_weight);
// v2 "cpu.weight": the weight capped at 10000.
int64_t CpuWeightV2(int64_t cpu_weight);

class CgroupManager {
 public:
  // `root` holds the hierarchies: the v2 groups directly below it, the v1
  // controllers as root/pids, root/memory, root/cpu. The layout is fixed here:
  // v2 exactly when root/cgroup.controllers exists.
  CgroupManager(std::string name, int64_t mem_limit_mb, int64_t cpu_weight,
                std::string root = kCgroupRoot);

  // Creates the groups and writes the limits. Never fails: every problem is
  // a warning and the run goes on, possibly without that limit. Where a group
  // of the name exists in any hierarchy, all groups take the first free name
  // NAME-1, NAME-2, ...: a group this run did not create is never joined,
  // killed or removed.
  void Setup();
  // The name the groups got (the one given, or it with a suffix).
  const std::string& name() const { return name_; }
  // The membership files that move a process into every group that exists,
  // in order. A failed file with `stop`
  // set ends the adding; the others are warned about.
  struct ProcsFile {
    std::string path;
    std::string context;  // what its failure is wrapped in
    bool stop;
  };
  std::vector<ProcsFile> ProcsFiles() const;
  // The joining's result for the write results of the files tried, in order:
  // warnings for the failures that do not stop, the stopping one returned.
  static util::Error AddResult(const std::vector<ProcsFile>& files, const std::vector<util::Error>& results);
  // Kills every process of the group ("cgroup.kill" on v2, each listed pid
  // on v1). It never signals a pid of its own accord, so it is safe after the
  // application was collected, when its pid may name another process. False
  // when there is no group or it could not kill; the caller then falls back
  // to KillTree while the application is not collected. `tree_follows`
  // says that the caller walks the process tree next, which a failed
  // "cgroup.kill" then reports.
  bool KillGroup(bool tree_follows = false) const;
  // Removes the group directories that exist.
  void Cleanup();

  bool is_v2() const { return is_v2_; }
  const std::string& v2_path() const { return v2_path_; }
  const std::string& v1_pids_path() const { return v1_pids_path_; }
  const std::string& v1_mem_path() const { return v1_mem_path_; }
  const std::string& v1_cpu_path() const { return v1_cpu_path_; }

 private:
  void SetupV2();
  void SetupV1();

  std::string name_;
  int64_t mem_limit_mb_;
  int64_t cpu_weight_;
  std::string root_;
  bool is_v2_;
  std::string v2_path_;
  std::string v1_mem_path_;
  std::string v1_cpu_path_;
  std::string v1_pids_path_;
};

// SIGKILLs every process listed in a v1 pids group, reading the list again
// until it holds no process that was not signalled (for a few seconds at
// most); false only when the list cannot be read.
bool KillCgroupV1Pids(const std::string& pids_path);

}  // namespace runtime
