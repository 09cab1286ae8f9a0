#include "internal/runtime/cgroups.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "internal/runtime/kill_tree.h"
#include "internal/runtime/proc_text.h"
#include "internal/testing/files.h"
#include "internal/testing/scratch_dir.h"
#include "internal/util/files.h"
#include "internal/util/tempdir.h"

namespace runtime {
namespace {

using testutil::Slurp;

bool IsDir(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> ProcsPaths(const CgroupManager& m) {
  std::vector<std::string> paths;
  for (const CgroupManager::ProcsFile& f : m.ProcsFiles()) paths.push_back(f.path);
  return paths;
}

// Directories standing in for the cgroup mount, all below one temporary
// directory that goes with the test.
class CgroupManagerTest : public testutil::ScratchDirTest {
 protected:
  CgroupManagerTest() : ScratchDirTest("zol-cgroup-test-") {}

  // A fresh stand-in holding the v1 hierarchies named and, given
  // `controllers`, the unified hierarchy's cgroup.controllers with that text.
  std::string FakeRoot(const std::vector<std::string>& hierarchies, const char* controllers = nullptr) {
    const std::string root = Path(std::to_string(made_++));
    EXPECT_TRUE(util::EnsureDir(root).ok()) << root;
    for (const std::string& h : hierarchies) EXPECT_TRUE(util::EnsureDir(root + "/" + h).ok()) << h;
    if (controllers != nullptr) std::ofstream(root + "/cgroup.controllers") << controllers;
    return root;
  }

 private:
  int made_ = 0;
};

TEST(CgroupLimits, ConvertsSettingsToControlValues) {
  struct Case {
    int64_t weight;
    int64_t shares;
    int64_t v2;
  };
  for (const Case& c : {Case{512, 5242, 512}, Case{100, 1024, 100}, Case{1, 10, 1}, Case{20000, 204800, 10000},
                        Case{30000, 262144, 10000}, Case{std::numeric_limits<int64_t>::max(), 262144, 10000}}) {
    SCOPED_TRACE(c.weight);
    EXPECT_EQ(CpuSharesFromWeight(c.weight), c.shares);
    EXPECT_EQ(CpuWeightV2(c.weight), c.v2);
  }
  EXPECT_EQ(MemoryLimitBytes(2048), std::optional<int64_t>(2147483648));
  EXPECT_EQ(MemoryLimitBytes(0), std::nullopt);
  EXPECT_EQ(MemoryLimitBytes(-5), std::nullopt);
  // Shifting these by 20 bits would overflow a signed 64-bit value.
  EXPECT_EQ(MemoryLimitBytes(int64_t{1} << 43), std::nullopt);
  EXPECT_EQ(MemoryLimitBytes(std::numeric_limits<int64_t>::max()), std::nullopt);
  EXPECT_EQ(MemoryLimitBytes((int64_t{1} << 43) - 1), std::optional<int64_t>(((int64_t{1} << 43) - 1) << 20));
}

// A group of the name in any hierarchy belongs to another run (the same pid
// in another pid namespace): all groups take the next free name, and the
// other run's groups are neither written, joined nor removed.
TEST_F(CgroupManagerTest, NamesTakenInAnyHierarchyAreLeftAlone) {
  struct Case {
    bool v2;
    std::vector<std::string> taken;
    std::string want;
  };
  const Case cases[] = {
      {false, {"cpu/zol-7"}, "zol-7-1"},
      {false, {"pids/zol-7", "memory/zol-7-1"}, "zol-7-2"},
      {true, {"zol-7", "zol-7-1"}, "zol-7-2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want + (c.v2 ? " v2" : " v1"));
    const std::string root = FakeRoot({"pids", "memory", "cpu"}, c.v2 ? "cpu memory pids\n" : nullptr);
    for (const std::string& t : c.taken) {
      ASSERT_TRUE(util::EnsureDir(root + "/" + t).ok());
      std::ofstream(root + "/" + t + "/cgroup.procs") << "31337\n";
    }
    CgroupManager m("zol-7", 2048, 512, root);
    m.Setup();
    EXPECT_EQ(m.name(), c.want);
    for (const std::string& path : ProcsPaths(m)) EXPECT_NE(path.find("/" + c.want + "/"), std::string::npos) << path;
    m.Cleanup();
    for (const std::string& t : c.taken) EXPECT_EQ(Slurp(root + "/" + t + "/cgroup.procs"), "31337\n") << t;
    if (c.v2) {
      EXPECT_EQ(m.v2_path(), root + "/" + c.want);
    } else {
      EXPECT_EQ(m.v1_pids_path(), root + "/pids/" + c.want);
      EXPECT_EQ(m.v1_mem_path(), root + "/memory/" + c.want);
      EXPECT_EQ(m.v1_cpu_path(), root + "/cpu/" + c.want);
    }
  }
}

// One limit that cannot be applied is named and takes no other with it.
TEST_F(CgroupManagerTest, V1LimitsFailOneByOneWithAWarning) {
  struct Case {
    const char* name;
    int64_t mem_mb;
    std::vector<std::string> hierarchies;
    std::string warning;
    bool mem, cpu;
  };
  const Case cases[] = {
      {"no memory hierarchy", 64, {"pids", "cpu"}, "cgroup v1 memory mkdir ", false, true},
      {"limit too large", int64_t{1} << 43, {"pids", "memory", "cpu"},
       "cgroup v1 set memory.limit_in_bytes: memory limit of 8796093022208 MiB is too large\n", false, true},
      {"no cpu hierarchy", 64, {"pids", "memory"}, "cgroup v1 cpu mkdir ", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string root = FakeRoot(c.hierarchies);
    CgroupManager m("zol-3", c.mem_mb, 512, root);
    testing::internal::CaptureStderr();
    m.Setup();
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(c.warning), std::string::npos) << log;
    EXPECT_EQ(m.v1_pids_path(), root + "/pids/zol-3");
    EXPECT_EQ(!m.v1_mem_path().empty(), c.mem);
    EXPECT_EQ(!m.v1_cpu_path().empty(), c.cpu);
    if (c.cpu) {
      EXPECT_EQ(Slurp(root + "/cpu/zol-3/cpu.shares"), "5242");
    }
  }
}

TEST_F(CgroupManagerTest, V1ControllersThatAreNotMountedAreNotMade) {
  const std::string root = FakeRoot({});  // no pids, memory or cpu hierarchy
  CgroupManager m("zol-11", 2048, 512, root);
  testing::internal::CaptureStderr();
  m.Setup();
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("cgroup v1 pids mkdir " + root + "/pids/zol-11: mkdir " + root +
                     "/pids/zol-11: no such file or directory\n"),
            std::string::npos)
      << log;
  for (const char* c : {"pids", "memory", "cpu"}) EXPECT_FALSE(IsDir(root + "/" + c)) << c;
  EXPECT_TRUE(ProcsPaths(m).empty());
  // Nothing lists the pid, so nothing would signal it after it was collected.
  EXPECT_FALSE(m.KillGroup());
}

TEST_F(CgroupManagerTest, ZeroLimitsMakeNoGroups) {
  const std::string root = FakeRoot({"pids", "memory", "cpu"});
  CgroupManager m("zol-8", 0, 0, root);
  m.Setup();
  EXPECT_TRUE(IsDir(root + "/pids/zol-8"));
  EXPECT_FALSE(IsDir(root + "/memory/zol-8"));
  EXPECT_FALSE(IsDir(root + "/cpu/zol-8"));
  EXPECT_TRUE(m.v1_mem_path().empty());
  EXPECT_TRUE(m.v1_cpu_path().empty());
}

// Each kind of hierarchy gets the limits in its own files and its own list of
// the files that take the pid.
TEST_F(CgroupManagerTest, SetupWritesTheLimitsOfEachKind) {
  struct Case {
    const char* controllers;  // nullptr: v1
    int64_t memory_mb, cpu_weight;
    std::string group;  // below the root, as all paths here
    std::vector<std::pair<std::string, std::string>> files;  // and their text
    std::vector<std::string> procs;
  };
  const Case cases[] = {
      {nullptr, 2048, 512, "/pids/zol-7",
       {{"/memory/zol-7/memory.limit_in_bytes", "2147483648"},
        {"/memory/zol-7/memory.memsw.limit_in_bytes", "2147483648"},
        {"/cpu/zol-7/cpu.shares", "5242"}},
       {"/pids/zol-7/cgroup.procs", "/memory/zol-7/cgroup.procs", "/cpu/zol-7/cgroup.procs"}},
      {"cpu memory pids\n", 64, 20000, "/zol-9",
       {{"/zol-9/memory.max", "67108864"}, {"/zol-9/cpu.weight", "10000"}},
       {"/zol-9/cgroup.procs"}},
  };
  for (const Case& c : cases) {
    const bool v2 = c.controllers != nullptr;
    SCOPED_TRACE(v2 ? "v2" : "v1");
    const std::vector<std::string> v1_hierarchies = {"pids", "memory", "cpu"};
    const std::string root = FakeRoot(v2 ? std::vector<std::string>{} : v1_hierarchies, c.controllers);
    const std::string name = c.group.substr(c.group.rfind('/') + 1);
    CgroupManager m(name, c.memory_mb, c.cpu_weight, root);
    ASSERT_EQ(m.is_v2(), v2);
    m.Setup();
    EXPECT_EQ(v2 ? m.v2_path() : m.v1_pids_path(), root + c.group);
    for (const auto& [file, text] : c.files) EXPECT_EQ(Slurp(root + file), text) << file;
    std::vector<std::string> procs;
    for (const std::string& p : c.procs) procs.push_back(root + p);
    EXPECT_EQ(ProcsPaths(m), procs);
    if (v2) {
      // A plain directory takes the kill request as a file; the kernel's would act on it.
      EXPECT_TRUE(m.KillGroup());
      EXPECT_EQ(Slurp(root + c.group + "/cgroup.kill"), "1");
    }
  }
}

TEST_F(CgroupManagerTest, V2KillThatTheGroupRefusesIsReported) {
  const std::string root = FakeRoot({}, "");
  CgroupManager m("zol-10", 0, 0, root);
  m.Setup();
  ASSERT_EQ(m.v2_path(), root + "/zol-10");
  // A kernel without the kill file: here a directory that cannot be written.
  ASSERT_TRUE(util::EnsureDir(m.v2_path() + "/cgroup.kill").ok());
  struct Case {
    bool tree_follows;
    std::string warning;
  };
  for (const Case& c : {Case{true, "cgroup.kill failed, falling back to killTree: open "},
                        Case{false, "cgroup.kill failed: open "}}) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(m.KillGroup(c.tree_follows));
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(c.warning + m.v2_path() + "/cgroup.kill: is a directory\n"), std::string::npos) << log;
  }
}

TEST_F(CgroupManagerTest, V2WithoutAGroupAddsAndKillsNothing) {
  const std::string root = FakeRoot({}, "");
  // The group's parent is a file, so the group cannot be made.
  CgroupManager m("cgroup.controllers/zol-1", 64, 100, root);
  ASSERT_TRUE(m.is_v2());
  m.Setup();
  EXPECT_TRUE(m.v2_path().empty());
  EXPECT_TRUE(ProcsPaths(m).empty());
  EXPECT_FALSE(m.KillGroup());
}

TEST(KillCgroupV1Pids, SignalsEveryListedProcessAndSkipsTheRest) {
  auto tmp = util::TempDir::Make("zol-cgroup-test-");
  ASSERT_TRUE(tmp.ok());
  pid_t a = ::fork();
  if (a == 0) {
    ::pause();
    ::_exit(0);
  }
  pid_t b = ::fork();
  if (b == 0) {
    ::pause();
    ::_exit(0);
  }
  // Lines that are not pids above 1 are skipped: never init, never a group.
  std::ofstream(tmp->path() + "/cgroup.procs")
      << "1\n0\nabc\n\n" << a << "\r\n-" << b << "\n" << b;
  EXPECT_TRUE(KillCgroupV1Pids(tmp->path()));
  for (pid_t p : {a, b}) {
    int status = 0;
    ASSERT_EQ(::waitpid(p, &status, 0), p);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << p;
  }
  EXPECT_FALSE(KillCgroupV1Pids(tmp->path() + "/missing"));
}

TEST(SplitLines, KeepsTheProcsFileRules) {
  EXPECT_EQ(SplitLines("1\n0\nabc\n\n42\r\n57"), (std::vector<std::string>{"1", "0", "abc", "", "42", "57"}));
  EXPECT_EQ(SplitLines(""), std::vector<std::string>{});
  EXPECT_EQ(SplitLines("a\n"), std::vector<std::string>{"a"});
  EXPECT_EQ(SplitLines("a\r"), std::vector<std::string>{"a\r"});
}

TEST(KillOrder, ChildrenBeforeParents) {
  // 10 -> 11 -> 12, 10 -> 13; 20 is unrelated.
  std::vector<ProcInfo> procs = {{10, 1}, {11, 10}, {12, 11}, {13, 10}, {20, 1}};
  std::vector<pid_t> order = KillOrder(10, procs);
  ASSERT_EQ(order.size(), 4u);
  auto pos = [&](pid_t p) { return std::find(order.begin(), order.end(), p) - order.begin(); };
  EXPECT_LT(pos(12), pos(11));
  EXPECT_LT(pos(11), pos(10));
  EXPECT_LT(pos(13), pos(10));
  EXPECT_EQ(std::count(order.begin(), order.end(), 20), 0);
  // A root that has already left /proc is still signalled, alone.
  EXPECT_EQ(KillOrder(77, procs), std::vector<pid_t>{77});
}

TEST(KillTree, KillsARealTreeOfProcesses) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t root = ::fork();
  ASSERT_GE(root, 0);
  if (root == 0) {
    // root -> child -> grandchild, all sleeping.
    pid_t c = ::fork();
    if (c == 0) {
      if (::fork() == 0) {
        ssize_t w = ::write(ready[1], "g", 1);
        (void)w;
        ::pause();
        ::_exit(0);
      }
      ::pause();
      ::_exit(0);
    }
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char c;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ::close(ready[0]);
  // Find the descendants before the kill to check they are gone after it.
  std::vector<pid_t> tree;
  for (int i = 0; i < 2; ++i) {
    pid_t parent = tree.empty() ? root : tree.back();
    std::ifstream f("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
    pid_t child = 0;
    ASSERT_TRUE(f >> child);
    tree.push_back(child);
  }
  KillTree(root);
  int status = 0;
  ASSERT_EQ(::waitpid(root, &status, 0), root);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  for (pid_t p : tree) {
    // Orphans are reaped by init; wait until they are gone.
    bool gone = false;
    for (int i = 0; i < 200 && !gone; ++i) {
      std::string st = Slurp("/proc/" + std::to_string(p) + "/stat");
      gone = st.empty() || st.find(") Z") != std::string::npos;
      if (!gone) ::usleep(10000);
    }
    EXPECT_TRUE(gone) << p;
  }
}

TEST(KillTree, ProcessesAlreadyGoneAreReportedOnlyWhenAsked) {
  // A snapshot of two processes that have ended since: a root and its child.
  auto tmp = util::TempDir::Make("zol-cgroup-test-");
  ASSERT_TRUE(tmp.ok());
  std::vector<pid_t> gone;
  for (pid_t p = 4000000; gone.size() < 2 && p > 3000000; --p) {
    if (::kill(p, 0) != 0 && errno == ESRCH) gone.push_back(p);
  }
  ASSERT_EQ(gone.size(), 2u);
  for (pid_t p : gone) ASSERT_TRUE(util::EnsureDir(tmp->path() + "/" + std::to_string(p)).ok());
  std::ofstream(tmp->path() + "/" + std::to_string(gone[0]) + "/status") << "Name:\tx\nPPid:\t1\n";
  std::ofstream(tmp->path() + "/" + std::to_string(gone[1]) + "/status")
      << "Name:\tx\nPPid:\t" << gone[0] << "\n";
  struct Case {
    bool warn_gone;
    size_t warnings;
  };
  for (const Case& c : {Case{true, 2}, Case{false, 0}}) {
    testing::internal::CaptureStderr();
    KillTree(gone[0], tmp->path(), c.warn_gone);
    std::string log = testing::internal::GetCapturedStderr();
    size_t n = 0;
    for (size_t at = 0; (at = log.find("killTree: failed to kill pid ", at)) != std::string::npos; ++at) ++n;
    EXPECT_EQ(n, c.warnings) << log;
    if (c.warn_gone) {
      EXPECT_NE(log.find(": no such process\n"), std::string::npos) << log;
    }
  }
}

}  // namespace
}  // namespace runtime
