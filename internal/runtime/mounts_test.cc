#include "internal/runtime/mounts.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "internal/runtime/overlay.h"
#include "internal/util/fd.h"
#include "internal/util/files.h"
#include "internal/util/tempdir.h"

namespace runtime {
namespace {

void Write(const std::string& path, const std::string& text, mode_t mode = 0644) {
  std::ofstream(path) << text;
  ::chmod(path.c_str(), mode);
}

std::string Slurp(const std::string& path) {
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// A fake host ("/" of the plan's sources) and a sandbox root, both plain
// directories, so the plan is checked without privileges.
struct PlanFixture {
  PlanFixture() : tmp(*util::TempDir::Make("zol-plan-test-")) {
    host = tmp.path() + "/host";
    root = tmp.path() + "/root";
    EXPECT_TRUE(util::EnsureDir(host + "/etc").ok());
    EXPECT_TRUE(util::EnsureDir(host + "/home").ok());
    EXPECT_TRUE(util::EnsureDir(root + "/etc").ok());
    for (const char* f : {"hosts", "resolv.conf", "passwd", "group"}) Write(host + "/etc/" + f, std::string(f) + "\n");
    Write(host + "/etc/shadow", "root:*:1::::::\n", 0640);
    Write(host + "/etc/gshadow", "root:*::\n", 0640);
  }
  util::TempDir tmp;
  std::string host, root;
};

TEST(MountPlan, FullHostGivesNineEntriesInOrder) {
  PlanFixture f;
  auto plan = BuildMountPlan(f.root, false, f.host);
  ASSERT_TRUE(plan.ok()) << plan.error().message();
  const std::string& r = f.root;
  const std::string& h = f.host;
  std::vector<MountEntry> want = {
      {"none", r + "/proc", "proc", 14, ""},
      {"none", r + "/sys", "sysfs", 15, ""},
      {"none", r + "/dev", "tmpfs", 10, ""},
      {"none", r + "/tmp", "tmpfs", 0, ""},
      {h + "/etc/hosts", r + "/etc/hosts", "none", 4097, ""},
      {h + "/etc/resolv.conf", r + "/etc/resolv.conf", "none", 4097, ""},
      {h + "/etc/passwd", r + "/etc/passwd", "none", 4097, ""},
      {h + "/etc/group", r + "/etc/group", "none", 4097, ""},
      {h + "/home", r + "/home", "none", 4096, ""},
  };
  EXPECT_EQ(plan->entries, want);
  // Mount points exist; missing bind targets are empty files.
  struct stat st;
  ASSERT_EQ(::stat((r + "/etc/hosts").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_size, 0);
  for (const char* d : {"/proc", "/sys", "/dev", "/tmp", "/home"}) {
    EXPECT_EQ(::stat((r + d).c_str(), &st), 0) << d;
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << d;
  }
  // Without an overlay the root is the installed base layer: no host secrets.
  EXPECT_NE(::lstat((r + "/etc/shadow").c_str(), &st), 0);
}

TEST(MountPlan, MissingHostFilesAreLeftOut) {
  PlanFixture f;
  ::unlink((f.host + "/etc/resolv.conf").c_str());
  ::rmdir((f.host + "/home").c_str());
  Write(f.host + "/home", "not a directory");
  auto plan = BuildMountPlan(f.root, false, f.host);
  ASSERT_TRUE(plan.ok()) << plan.error().message();
  ASSERT_EQ(plan->entries.size(), 7u);
  for (const MountEntry& e : plan->entries) {
    EXPECT_EQ(e.target.find("resolv.conf"), std::string::npos);
    EXPECT_EQ(e.target.find("/home"), std::string::npos);
  }
  struct stat st;
  EXPECT_NE(::stat((f.root + "/home").c_str(), &st), 0);
}

TEST(MountPlan, OverlayRootGetsShadowCopies) {
  PlanFixture f;
  Write(f.root + "/etc/shadow", "layer's own\n", 0600);
  auto plan = BuildMountPlan(f.root, true, f.host);
  ASSERT_TRUE(plan.ok()) << plan.error().message();
  EXPECT_EQ(Slurp(f.root + "/etc/shadow"), "root:*:1::::::\n");
  EXPECT_EQ(Slurp(f.root + "/etc/gshadow"), "root:*::\n");
  struct stat st;
  ASSERT_EQ(::stat((f.root + "/etc/gshadow").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777 & ~0640, 0u);
}

TEST(MountPlan, RootWithoutEtcFails) {
  PlanFixture f;
  ASSERT_EQ(::rmdir((f.root + "/etc").c_str()), 0);
  auto plan = BuildMountPlan(f.root, false, f.host);
  ASSERT_FALSE(plan.ok());
  EXPECT_EQ(plan.error().message().rfind("create bind target " + f.root + "/etc/hosts: ", 0), 0u)
      << plan.error().message();
}

TEST(MountPlan, LinksLeadingOutOfTheRootAreNotFollowed) {
  PlanFixture f;
  std::string outside = f.tmp.path() + "/outside";
  ASSERT_TRUE(util::EnsureDir(outside).ok());
  // A hostile layer points its mount points and copies at the host.
  ASSERT_EQ(::symlink(outside.c_str(), (f.root + "/tmp").c_str()), 0);
  auto plan = BuildMountPlan(f.root, true, f.host);
  EXPECT_FALSE(plan.ok());

  ASSERT_EQ(::unlink((f.root + "/tmp").c_str()), 0);
  ASSERT_EQ(::symlink((outside + "/shadow").c_str(), (f.root + "/etc/shadow").c_str()), 0);
  ASSERT_EQ(::symlink((outside + "/hosts").c_str(), (f.root + "/etc/hosts").c_str()), 0);
  plan = BuildMountPlan(f.root, true, f.host);
  ASSERT_TRUE(plan.ok()) << plan.error().message();
  struct stat st;
  EXPECT_NE(::lstat((outside + "/shadow").c_str(), &st), 0);
  EXPECT_NE(::lstat((outside + "/hosts").c_str(), &st), 0);
}

// Runs fn on a thread of its own inside a fresh private mount namespace, as
// the sandbox does, so nothing it mounts is seen by the rest of the process.
template <class F>
void InPrivateNamespace(F fn) {
  std::thread t([&] {
    ASSERT_EQ(::unshare(CLONE_NEWNS), 0);
    ASSERT_EQ(::mount("", "/", "", MS_REC | MS_PRIVATE, ""), 0);
    fn();
  });
  t.join();
}

TEST(PopulateDev, MakesTheTableAndAcceptsExistingEntries) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  auto tmp = util::TempDir::Make("zol-dev-test-");
  ASSERT_TRUE(tmp.ok());
  std::string dev = tmp->path();
  InPrivateNamespace([&] {
    ASSERT_EQ(::mount("none", dev.c_str(), "tmpfs", MS_NOSUID | MS_NOEXEC, ""), 0);
    util::UniqueFd fd(::open(dev.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(PopulateDev(fd.get(), dev).ok());
    // Again over what is there: every "already exists" is accepted.
    auto again = PopulateDev(fd.get(), dev);
    EXPECT_TRUE(again.ok()) << again.message();

    mode_t mask = ::umask(0);
    ::umask(mask);
    for (const DevNode& n : kDevNodes) {
      struct stat st;
      ASSERT_EQ(::lstat((dev + "/" + n.name).c_str(), &st), 0) << n.name;
      EXPECT_TRUE(S_ISCHR(st.st_mode)) << n.name;
      if (std::string(n.name) != "ptmx") {
        EXPECT_EQ(st.st_mode & 0777, n.mode & ~mask) << n.name;
        EXPECT_EQ(st.st_rdev, makedev(n.major, n.minor)) << n.name;
      }
    }
    for (const DevLink& l : kDevLinks) {
      char buf[64] = {};
      ASSERT_GT(::readlink((dev + "/" + l.name).c_str(), buf, sizeof buf - 1), 0) << l.name;
      EXPECT_STREQ(buf, l.target);
    }
    // The multiplexer is the private devpts instance's, which hands out
    // terminals numbered from 0 in that instance.
    int master = ::open((dev + "/ptmx").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    int n = -1;
    ASSERT_EQ(::ioctl(master, TIOCGPTN, &n), 0);
    struct stat st;
    EXPECT_EQ(::stat((dev + "/pts/" + std::to_string(n)).c_str(), &st), 0);
    ::close(master);
    ::umount2(dev.c_str(), MNT_DETACH);
  });
}

TEST(Overlay, OptionsTextAndHostilePaths) {
  OverlayConfig ok("/a/files/rootfs-overlay", "/r/base-x86_64/rootfs", "/run/zol-42");
  auto text = ok.Options();
  ASSERT_TRUE(text.ok());
  EXPECT_EQ(*text,
            "lowerdir=/a/files/rootfs-overlay:/r/base-x86_64/rootfs,upperdir=/run/zol-42/upper,"
            "workdir=/run/zol-42/work");
  EXPECT_EQ(ok.merged_dir(), "/run/zol-42/merged");
  for (const char* bad : {"/a,upperdir=/etc/rootfs-overlay", "/a:/etc", "/a\\b"}) {
    OverlayConfig o(bad, "/r", "/run/zol-1");
    EXPECT_FALSE(o.Options().ok()) << bad;
  }
}

TEST(Overlay, PrepareStartsFromAnEmptyRunDirectory) {
  auto tmp = util::TempDir::Make("zol-overlay-test-");
  ASSERT_TRUE(tmp.ok());
  std::string run_dir = tmp->path() + "/zol-42";
  // An earlier process with the same pid left its upper layer behind.
  ASSERT_TRUE(util::EnsureDir(run_dir + "/upper/etc").ok());
  Write(run_dir + "/upper/etc/passwd", "stale\n");
  OverlayConfig o("/lower", "/base", run_dir);
  ASSERT_TRUE(o.Prepare().ok());
  struct stat st;
  EXPECT_NE(::lstat((run_dir + "/upper/etc").c_str(), &st), 0);
  for (const char* d : {"/upper", "/work", "/merged"}) {
    ASSERT_EQ(::stat((run_dir + d).c_str(), &st), 0) << d;
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << d;
  }
  // Nothing mounted: the teardown removes the run directory without complaint.
  EXPECT_TRUE(o.Cleanup().ok());
  EXPECT_NE(::lstat(run_dir.c_str(), &st), 0);
}

TEST(Overlay, FailureTextsNameTheStep) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  auto tmp = util::TempDir::Make("zol-overlay-test-");
  ASSERT_TRUE(tmp.ok());
  const std::string ro = tmp->path() + "/ro";
  ASSERT_TRUE(util::EnsureDir(ro).ok());
  InPrivateNamespace([&] {
    // A run directory that cannot be made: the failure names the layer
    // directory being created, then the system's report.
    ASSERT_EQ(::mount("none", ro.c_str(), "tmpfs", MS_RDONLY, ""), 0);
    OverlayConfig o("/lower", "/base", ro + "/zol-42");
    EXPECT_EQ(o.Prepare().message(),
              "mkdir " + ro + "/zol-42/upper: mkdir " + ro + "/zol-42: read-only file system");
    ::umount2(ro.c_str(), MNT_DETACH);
  });

  // An overlay that cannot be detached keeps its run directory, and the
  // warning carries the kernel's reason once.
  const std::string run_dir = tmp->path() + "/zol-43";
  ASSERT_TRUE(util::EnsureDir(run_dir + "/upper").ok());
  OverlayConfig o("/lower", "/base", run_dir);
  testing::internal::CaptureStderr();
  util::Error err = o.Cleanup();
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(err.ok()) << err.message();
  EXPECT_NE(log.find(" failed to unmount overlay " + run_dir + "/merged: no such file or directory\n"),
            std::string::npos)
      << log;
  struct stat st;
  EXPECT_EQ(::stat((run_dir + "/upper").c_str(), &st), 0);
}

}  // namespace
}  // namespace runtime
