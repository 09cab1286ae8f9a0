#include "internal/runtime/sandbox.h"
#include "internal/runtime/sandbox_child.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "internal/testing/files.h"
#include "internal/util/files.h"
#include "internal/util/tempdir.h"
#include "internal/testing/require.h"

namespace runtime {
namespace {

std::string MountNamespaceOfThisThread() {
  char buf[64] = {};
  return ::readlink("/proc/thread-self/ns/mnt", buf, sizeof buf - 1) > 0 ? buf : "";
}

class SandboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ZOL_REQUIRE(::geteuid() == 0, "the sandbox needs root");
    ZOL_REQUIRE(::access("/bin/busybox", X_OK) == 0, "needs busybox-static");
    auto t = util::TempDir::Make("zol-sandbox-test-");
    ASSERT_TRUE(t.ok());
    tmp_.emplace(std::move(*t));
    base_ = tmp_->path() + "/base/rootfs";
    install_ = tmp_->path() + "/app";
    ASSERT_TRUE(util::EnsureDir(base_ + "/bin").ok());
    ASSERT_TRUE(util::EnsureDir(base_ + "/etc").ok());
    ASSERT_TRUE(util::EnsureDir(install_ + "/files").ok());
    ASSERT_TRUE(util::CopyFile("/bin/busybox", base_ + "/bin/busybox").ok());
    ASSERT_EQ(::chmod((base_ + "/bin/busybox").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("busybox", (base_ + "/bin/sh").c_str()), 0);
    opts_.mem_limit_mb = 64;
    opts_.cpu_weight = 100;
  }

  std::optional<util::TempDir> tmp_;
  std::string base_, install_;
  SandboxOptions opts_;
};

TEST_F(SandboxTest, OutcomesAndTheCallersNamespaceStaysTheHosts) {
  const std::string before = MountNamespaceOfThisThread();
  struct Case {
    std::string entry;
    std::vector<std::string> args;
    std::string error;
  };
  const Case cases[] = {
      {"/bin/sh", {"-c", "test -d /app && test -c /dev/null && exit 0"}, ""},
      {"/bin/sh", {"-c", "exit 3"}, "exit status 3"},
      {"/bin/sh", {"-c", "kill -KILL $$"}, "exit status -1"},
      {"/bin/nope", {}, "fork/exec /bin/nope: no such file or directory"},
      // A manifest's JSON can carry a NUL that a C string would cut off.
      {"/bin/sh", {"-c", std::string("exit 0\0; exit 3", 15)}, "fork/exec /bin/sh: invalid argument"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry + (c.args.empty() ? "" : " " + c.args.back()));
    util::Error err = EnterSandbox(base_, install_, c.entry, c.args, {"PATH=/bin"}, opts_);
    EXPECT_EQ(err.message(), c.error);
  }
  EXPECT_EQ(MountNamespaceOfThisThread(), before);
  EXPECT_EQ(testutil::Slurp("/proc/self/mountinfo").find(base_), std::string::npos);
  for (const char* c : {"pids", "memory", "cpu"}) {
    struct stat st;
    EXPECT_NE(::stat((opts_.cgroup_root + "/" + c + "/zol-" + std::to_string(::getpid())).c_str(), &st), 0) << c;
  }
}

// A signal trapped while the sandbox was set up ends the run before the
// application starts, and the teardown still runs.
TEST_F(SandboxTest, SignalBeforeTheStartEndsTheRunInstead) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
  unsigned char sig = SIGINT;
  ASSERT_EQ(::write(fds[1], &sig, 1), 1);
  opts_.signal_fd = fds[0];
  const std::string mark = install_ + "/files/started";
  util::Error err = EnterSandbox(base_, install_, "/bin/sh", {"-c", "echo > /app/started"}, {}, opts_);
  ::close(fds[0]);
  ::close(fds[1]);
  EXPECT_EQ(err.message(), "interrupted by signal: interrupt");
  struct stat st;
  EXPECT_NE(::stat(mark.c_str(), &st), 0);
  EXPECT_EQ(testutil::Slurp("/proc/self/mountinfo").find(base_), std::string::npos);
  for (const char* c : {"pids", "memory", "cpu"}) {
    EXPECT_NE(::stat((opts_.cgroup_root + "/" + c + "/zol-" + std::to_string(::getpid())).c_str(), &st), 0) << c;
  }
}

TEST_F(SandboxTest, OverlayThatCannotBeMountedLeavesNoRunDirectory) {
  ASSERT_TRUE(util::EnsureDir(install_ + "/files/rootfs-overlay/etc").ok());
  // No base root filesystem: the kernel refuses the missing lower layer.
  util::Error err = EnterSandbox(tmp_->path() + "/missing/rootfs", install_, "/bin/sh", {}, {}, opts_);
  EXPECT_EQ(err.message(), "overlay mount: no such file or directory");
  struct stat st;
  EXPECT_NE(::lstat(("/run/zol-" + std::to_string(::getpid())).c_str(), &st), 0);
}

// Inside a plain chroot "/" is no mount point, and the kernel's bare
// "invalid argument" for making it private names no reason.
TEST(SandboxInChroot, SaysThatTheRootIsNotAMountPoint) {
  ZOL_REQUIRE(::geteuid() == 0, "the sandbox needs root");
  auto tmp = util::TempDir::Make("zol-chroot-test-");
  ASSERT_TRUE(tmp.ok());
  const std::string jail = tmp->path() + "/jail";
  ASSERT_TRUE(util::EnsureDir(jail + "/base/rootfs").ok());
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(fds[0]);
    std::string text = "child set-up failed";
    if (::unshare(CLONE_NEWNS) == 0 && ::mount("", "/", "", MS_REC | MS_PRIVATE, "") == 0 &&
        ::chroot(jail.c_str()) == 0 && ::chdir("/") == 0) {
      text = EnterSandbox("/base/rootfs", "/app", "/bin/true", {}, {}, SandboxOptions{}).message();
    }
    ssize_t n = ::write(fds[1], text.data(), text.size());
    ::_exit(n == static_cast<ssize_t>(text.size()) ? 0 : 1);
  }
  ::close(fds[1]);
  std::string got;
  char buf[512];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(got, "setup mount ns: make / private: invalid argument (\"/\" is not a mount point, as inside a plain chroot)");
}

// Each step before the exec names itself when it fails; the exec's failure
// names a missing "#!" interpreter rather than the script that exists.
TEST(SandboxChild, FailuresNameTheirStep) {
  ZOL_REQUIRE(::geteuid() == 0, "chroot needs root");
  auto tmp = util::TempDir::Make("zol-child-test-");
  ASSERT_TRUE(tmp.ok());
  const std::string root = tmp->path();
  ASSERT_TRUE(util::EnsureDir(root + "/bin").ok());
  for (const char* script : {"no-python", "empty-line"}) {
    std::ofstream(root + "/bin/" + script) << (std::string(script) == "no-python" ? "#! /usr/bin/python3 -u\nx\n" : "#!\n");
    ASSERT_EQ(::chmod((root + "/bin/" + script).c_str(), 0755), 0);
  }
  struct Case {
    std::string root, program, error;
  };
  const Case cases[] = {
      {root + "/missing", "/bin/true", "chroot " + root + "/missing: no such file or directory"},
      {root, "/bin/nope", "fork/exec /bin/nope: no such file or directory"},
      {root, "/bin/no-python", "fork/exec /bin/no-python: interpreter /usr/bin/python3 not found"},
      {root, "/bin/empty-line", "fork/exec /bin/empty-line: exec format error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    SandboxChildPlan plan;
    plan.program = c.program;
    plan.root = c.root;
    auto child = StartSandboxChild(plan);
    ASSERT_FALSE(child.ok());
    EXPECT_EQ(child.error().message(), c.error);
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "the failed child was collected";
  }
}

// The program runs in its groups from its first instruction, in its own
// process group, with no new privileges, in "/" of its root.
TEST(SandboxChild, StartsPlacedInItsGroups) {
  ZOL_REQUIRE(::geteuid() == 0, "chroot needs root");
  auto tmp = util::TempDir::Make("zol-child-test-");
  ASSERT_TRUE(tmp.ok());
  const std::string a = tmp->path() + "/a", b = tmp->path() + "/b", gone = tmp->path() + "/gone/cgroup.procs";
  const std::string out = tmp->path() + "/out";
  SandboxChildPlan plan;
  plan.program = "/bin/sh";
  plan.args = {"-c", "set -- $(cat /proc/$$/stat); echo \"$$ $5 $(cat " + a + ") $(cat " + b +
                         ") $(pwd)\" > " + out + "; grep NoNewPrivs /proc/self/status >> " + out};
  plan.root = "/";
  plan.joins = {{a, false}, {gone, false}, {b, true}};
  auto child = StartSandboxChild(plan);
  ASSERT_TRUE(child.ok()) << child.error().message();
  int status = 0;
  ASSERT_EQ(::waitpid(child->pid, &status, 0), child->pid);
  ASSERT_EQ(child->joins.size(), 3u);
  EXPECT_TRUE(child->joins[0].ok());
  EXPECT_EQ(child->joins[1].message(), "open " + gone + ": no such file or directory");
  EXPECT_TRUE(child->joins[2].ok());
  const std::string pid = std::to_string(child->pid);
  EXPECT_EQ(testutil::Slurp(out), pid + " " + pid + " " + pid + " " + pid + " /\nNoNewPrivs:\t1\n");
}

TEST(DirHasContent, ListsOrNot) {
  auto tmp = util::TempDir::Make("zol-sandbox-test-");
  ASSERT_TRUE(tmp.ok());
  EXPECT_FALSE(DirHasContent(tmp->path()));
  EXPECT_FALSE(DirHasContent(tmp->path() + "/missing"));
  std::ofstream(tmp->path() + "/x") << "";
  EXPECT_TRUE(DirHasContent(tmp->path()));
  EXPECT_FALSE(DirHasContent(tmp->path() + "/x"));
}

}  // namespace
}  // namespace runtime
