#include "internal/runtime/mounts.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>

#include <climits>

#include <gtest/gtest.h>

#include "internal/runtime/overlay.h"
#include "internal/testing/files.h"
#include "internal/util/fd.h"
#include "internal/util/files.h"
#include "internal/util/tempdir.h"
#include "internal/testing/require.h"

namespace runtime {
namespace {

using testutil::Slurp;
using testutil::Spit;

// A fake host ("/" of the plan's sources) and a sandbox root, both plain
// directories, so the plan is checked without privileges.
struct PlanFixture {
  PlanFixture() : tmp(*util::TempDir::Make("zol-plan-test-")) {
    host = tmp.path() + "/host";
    root = tmp.path() + "/root";
    EXPECT_TRUE(util::EnsureDir(host + "/etc").ok());
    EXPECT_TRUE(util::EnsureDir(host + "/home").ok());
    EXPECT_TRUE(util::EnsureDir(root + "/etc").ok());
    for (const char* f : {"hosts", "resolv.conf", "passwd", "group"}) Spit(host + "/etc/" + f, std::string(f) + "\n");
    Spit(host + "/etc/shadow", "root:*:1::::::\n", 0640);
    Spit(host + "/etc/gshadow", "root:*::\n", 0640);
  }
  util::TempDir tmp;
  std::string host, root;
};

// The plan for the fixture's root, that root made ready for it.
util::Result<MountPlan> Prepared(const PlanFixture& f, bool root_is_overlay) {
  MountPlan plan = BuildMountPlan(f.root, root_is_overlay, f.host);
  ZOL_TRY(PrepareRoot(plan));
  return plan;
}

TEST(MountPlan, FullHostGivesNineEntriesInOrder) {
  PlanFixture f;
  auto plan = Prepared(f, false);
  ASSERT_TRUE(plan.ok()) << plan.error().message();
  const std::string& r = f.root;
  const std::string& h = f.host;
  std::vector<MountEntry> want = {
      {"none", r + "/proc", "proc", 14, "", MountKind::kFileSystem},
      {"none", r + "/sys", "sysfs", 15, "", MountKind::kFileSystem},
      {"none", r + "/dev", "tmpfs", 10, "", MountKind::kDev},
      {"none", r + "/tmp", "tmpfs", 0, "", MountKind::kFileSystem},
      {h + "/etc/hosts", r + "/etc/hosts", "none", 4097, "", MountKind::kBind},
      {h + "/etc/resolv.conf", r + "/etc/resolv.conf", "none", 4097, "", MountKind::kBind},
      {h + "/etc/passwd", r + "/etc/passwd", "none", 4097, "", MountKind::kBind},
      {h + "/etc/group", r + "/etc/group", "none", 4097, "", MountKind::kBind},
      {h + "/home", r + "/home", "none", 4096, "", MountKind::kBind},
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

// The plan is a value: building it reads the host and leaves the root alone.
TEST(MountPlan, BuildingTouchesNoRoot) {
  PlanFixture f;
  const std::string root = f.tmp.path() + "/not-there";
  MountPlan plan = BuildMountPlan(root, true, f.host);
  EXPECT_EQ(plan.entries.size(), 9u);
  EXPECT_EQ(plan.copies, (std::vector<MountPlan::Copy>{{f.host + "/etc/shadow", "/etc/shadow"},
                                                       {f.host + "/etc/gshadow", "/etc/gshadow"}}));
  EXPECT_TRUE(BuildMountPlan(root, false, f.host).copies.empty());
  struct stat st;
  EXPECT_NE(::lstat(root.c_str(), &st), 0);
}

TEST(MountPlan, MissingHostFilesAreLeftOut) {
  PlanFixture f;
  ::unlink((f.host + "/etc/resolv.conf").c_str());
  ::rmdir((f.host + "/home").c_str());
  Spit(f.host + "/home", "not a directory");
  auto plan = Prepared(f, false);
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
  Spit(f.root + "/etc/shadow", "layer's own\n", 0600);
  auto plan = Prepared(f, true);
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
  auto plan = Prepared(f, false);
  ASSERT_FALSE(plan.ok());
  EXPECT_EQ(plan.error().message().rfind("create bind target " + f.root + "/etc/hosts: ", 0), 0u)
      << plan.error().message();
}

TEST(MountPlan, LinksLeadingOutOfTheRootAreNotFollowed) {
  PlanFixture f;
  std::string outside = f.tmp.path() + "/outside";
  ASSERT_TRUE(util::EnsureDir(outside).ok());
  // A hostile layer points its mount points and copies at the host. Inside
  // the root an absolute link means a place in the root, which is missing.
  ASSERT_EQ(::symlink(outside.c_str(), (f.root + "/tmp").c_str()), 0);
  auto plan = Prepared(f, true);
  EXPECT_FALSE(plan.ok());

  ASSERT_EQ(::unlink((f.root + "/tmp").c_str()), 0);
  ASSERT_EQ(::symlink((outside + "/hosts").c_str(), (f.root + "/etc/hosts").c_str()), 0);
  plan = Prepared(f, true);
  ASSERT_FALSE(plan.ok());
  EXPECT_EQ(plan.error().message().rfind("create bind target " + f.root + "/etc/hosts: ", 0), 0u)
      << plan.error().message();

  // The host's secrets follow no link at all, not even one inside.
  ASSERT_EQ(::unlink((f.root + "/etc/hosts").c_str()), 0);
  ASSERT_EQ(::symlink((outside + "/shadow").c_str(), (f.root + "/etc/shadow").c_str()), 0);
  ASSERT_EQ(::symlink("passwd", (f.root + "/etc/gshadow").c_str()), 0);
  testing::internal::CaptureStderr();
  plan = Prepared(f, true);
  std::string log = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(plan.ok()) << plan.error().message();
  EXPECT_NE(log.find("failed to copy /etc/shadow into sandbox: " + f.root +
                     "/etc/shadow is a symbolic link, not a regular file\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("failed to copy /etc/gshadow into sandbox: "), std::string::npos) << log;
  struct stat st;
  EXPECT_NE(::lstat((outside + "/shadow").c_str(), &st), 0);
  EXPECT_NE(::lstat((outside + "/hosts").c_str(), &st), 0);
  EXPECT_EQ(Slurp(f.root + "/etc/passwd"), "") << "the copy went through gshadow -> passwd";
  EXPECT_NE(::lstat((f.root + f.tmp.path()).c_str(), &st), 0) << "nothing made for a link that failed";
}

// Inside the root an absolute link leads to the layer's own file, as the
// application will see it.
TEST(MountPlan, AbsoluteLinksLeadToTheLayersOwnFiles) {
  PlanFixture f;
  ASSERT_TRUE(util::EnsureDir(f.root + "/run").ok());
  Spit(f.root + "/run/resolv.conf", "layer's\n");
  ASSERT_EQ(::symlink("/run/resolv.conf", (f.root + "/etc/resolv.conf").c_str()), 0);
  ASSERT_EQ(::symlink("/run/hosts", (f.root + "/etc/hosts").c_str()), 0);
  auto plan = Prepared(f, false);
  ASSERT_TRUE(plan.ok()) << plan.error().message();
  EXPECT_EQ(Slurp(f.root + "/run/resolv.conf"), "layer's\n");
  // A missing target inside is made there, empty, as a missing file would be.
  struct stat st;
  ASSERT_EQ(::stat((f.root + "/run/hosts").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
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
  ZOL_REQUIRE(::geteuid() == 0, "needs root");
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

// Mount points of this thread's namespace, as the table shows them.
std::vector<std::string> MountPoints() {
  std::vector<std::string> points;
  std::istringstream in(Slurp("/proc/thread-self/mountinfo"));
  for (std::string line; std::getline(in, line);) {
    std::istringstream f(line);
    std::string id, parent, dev, root, point;
    f >> id >> parent >> dev >> root >> point;
    points.push_back(point);
  }
  return points;
}

bool Mounted(const std::string& point) {
  std::vector<std::string> points = MountPoints();
  return std::find(points.begin(), points.end(), point) != points.end();
}

TEST(MountNamespace, TargetsOnTheRootOrOnAnotherMountAreRefused) {
  ZOL_REQUIRE(::geteuid() == 0, "needs root");
  struct Case {
    const char* link;
    const char* target;
    const char* refused;  // the target named in the error
    const char* why;
  } cases[] = {
      {"proc", ".", "/proc", "it resolves to the sandbox root"},
      {"proc", "..", "/proc", "it resolves to the sandbox root"},
      {"sys", "/", "/sys", "it resolves to the sandbox root"},
      // Stacked on the proc mount made just before.
      {"sys", "proc", "/sys", "it leads into another mount"},
      {"tmp", "/proc", "/tmp", "it leads into another mount"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.link) + " -> " + c.target);
    PlanFixture f;
    for (const char* d : {"/proc", "/sys", "/dev", "/tmp"}) ::mkdir((f.root + d).c_str(), 0755);
    ::rmdir((f.root + "/" + c.link).c_str());
    ASSERT_EQ(::symlink(c.target, (f.root + "/" + c.link).c_str()), 0);
    auto plan = Prepared(f, false);
    ASSERT_TRUE(plan.ok()) << plan.error().message();
    InPrivateNamespace([&] {
      util::Error err = SetupMountNamespace(*plan);
      EXPECT_NE(err.message().find("refusing mount target " + f.root + c.refused + ": " + c.why), std::string::npos)
          << err.message();
      EXPECT_FALSE(Mounted(f.root));
      for (const std::string& p : MountPoints()) {
        if (p.rfind(f.root + "/", 0) == 0) ::umount2(p.c_str(), MNT_DETACH);
      }
    });
  }
}

// A layer link (proc -> ".") stacked a mount on the merged view itself: the
// detach of the merged view takes off only that top mount, and the overlay
// with the binds of /home and the application files stays below it.
TEST(Overlay, CleanupNeverDeletesThroughAMountLeftBelow) {
  ZOL_REQUIRE(::geteuid() == 0, "needs root");
  auto tmp = util::TempDir::Make("zol-overlay-test-");
  ASSERT_TRUE(tmp.ok());
  const std::string t = tmp->path();
  for (const char* d : {"/app-overlay/etc", "/base/home", "/base/app", "/home/user", "/files/bin"}) {
    ASSERT_TRUE(util::EnsureDir(t + d).ok());
  }
  Spit(t + "/app-overlay/etc/motd", "app\n");
  Spit(t + "/home/user/keep", "mine\n");
  Spit(t + "/files/bin/tool", "tool\n");
  const std::string run_dir = t + "/run/zol-7";
  OverlayMount o(t + "/app-overlay", t + "/base", run_dir);
  InPrivateNamespace([&] {
    ASSERT_TRUE(o.Prepare().ok());
    ASSERT_TRUE(o.Mount().ok());
    const std::string m = o.merged_dir();
    ASSERT_EQ(::mount((t + "/home").c_str(), (m + "/home").c_str(), "", MS_BIND, ""), 0);
    ASSERT_EQ(::mount((t + "/files").c_str(), (m + "/app").c_str(), "", MS_BIND | MS_REC, ""), 0);
    ASSERT_EQ(::mount("none", m.c_str(), "tmpfs", 0, ""), 0);
    testing::internal::CaptureStderr();
    util::Error err = o.Cleanup();
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(err.ok()) << err.message();
    EXPECT_EQ(log, "");
    for (const std::string& p : MountPoints()) EXPECT_NE(p.rfind(run_dir, 0), 0u) << p;
  });
  EXPECT_EQ(Slurp(t + "/home/user/keep"), "mine\n");
  EXPECT_EQ(Slurp(t + "/files/bin/tool"), "tool\n");
  struct stat st;
  EXPECT_NE(::lstat(run_dir.c_str(), &st), 0);
}

// Layer paths the overlay's options cannot hold as written: longer than the
// page the kernel takes (they would be cut), or holding the options'
// separators.
TEST(Overlay, LayersWhosePathsTheOptionsCannotHoldMountWritable) {
  ZOL_REQUIRE(::geteuid() == 0, "needs root");
  std::string deep;
  for (int i = 0; i < 10; ++i) deep += "/" + std::string(200, 'a' + i);
  struct Case {
    const char* name;
    std::string app, base, run;  // below the test's directory
  };
  const Case cases[] = {
      {"longer than a page of options", deep + "/app/rootfs-overlay", deep + "/base/rootfs", deep + "/run/zol-5"},
      {"separators", "/app/1:1.0,x\\y/rootfs-overlay", "/base:b,c/rootfs", "/run:1,2"},
  };
  ASSERT_GT(cases[0].app.size(), 2000u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto tmp = util::TempDir::Make("zol-overlay-test-");
    ASSERT_TRUE(tmp.ok());
    const std::string app = tmp->path() + c.app, base = tmp->path() + c.base, run = tmp->path() + c.run;
    ASSERT_TRUE(util::EnsureDir(app).ok());
    ASSERT_TRUE(util::EnsureDir(base).ok());
    Spit(app + "/top", "app\n");
    Spit(base + "/below", "base\n");
    OverlayMount o(app, base, run);
    InPrivateNamespace([&] {
      ASSERT_TRUE(o.Prepare().ok());
      util::Error err = o.Mount();
      ASSERT_TRUE(err.ok()) << err.message();
      EXPECT_EQ(Slurp(o.merged_dir() + "/top"), "app\n");
      EXPECT_EQ(Slurp(o.merged_dir() + "/below"), "base\n");
      Spit(o.merged_dir() + "/new", "x");
      EXPECT_EQ(Slurp(o.upper_dir() + "/new"), "x");
      EXPECT_TRUE(o.Cleanup().ok());
    });
    struct stat st;
    EXPECT_NE(::lstat(run.c_str(), &st), 0);
  }
}

TEST(Overlay, PrepareNeverTakesARunDirectoryItDidNotCreate) {
  auto tmp = util::TempDir::Make("zol-overlay-test-");
  ASSERT_TRUE(tmp.ok());
  std::string run_dir = tmp->path() + "/zol-42";
  // Another run with the same pid (another pid namespace) holds its layer.
  ASSERT_TRUE(util::EnsureDir(run_dir + "/upper/etc").ok());
  ASSERT_TRUE(util::EnsureDir(run_dir + "-1").ok());
  Spit(run_dir + "/upper/etc/passwd", "theirs\n");
  OverlayMount o("/lower", "/base", run_dir);
  ASSERT_TRUE(o.Prepare().ok());
  EXPECT_EQ(o.run_dir(), run_dir + "-2");
  EXPECT_EQ(o.upper_dir(), run_dir + "-2/upper");
  EXPECT_EQ(Slurp(run_dir + "/upper/etc/passwd"), "theirs\n");
  struct stat st;
  for (const char* d : {"/upper", "/work", "/merged"}) {
    ASSERT_EQ(::stat((run_dir + "-2" + d).c_str(), &st), 0) << d;
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << d;
  }
  // Nothing mounted: the teardown removes its own run directory alone.
  EXPECT_TRUE(o.Cleanup().ok());
  EXPECT_NE(::lstat((run_dir + "-2").c_str(), &st), 0);
  EXPECT_EQ(Slurp(run_dir + "/upper/etc/passwd"), "theirs\n");
  EXPECT_EQ(::stat((run_dir + "-1").c_str(), &st), 0);
}

// A layer directory that cannot be made (here: its path would pass the
// system's limit) leaves no run directory behind.
TEST(Overlay, PrepareThatFailsLeavesNothing) {
  auto tmp = util::TempDir::Make("zol-overlay-test-");
  ASSERT_TRUE(tmp.ok());
  // The parent's length, so that the run directory just fits and its
  // "upper" does not.
  const size_t target = PATH_MAX - 12;
  std::string parent = tmp->path();
  while (parent.size() + 101 < target) parent.append("/").append(99, 'p');
  parent.append("/").append(target - parent.size() - 1, 'q');
  ASSERT_TRUE(util::EnsureDir(parent).ok());
  std::string run_dir = parent;
  run_dir.append("/zol-42");
  ASSERT_LT(run_dir.size(), static_cast<size_t>(PATH_MAX));
  ASSERT_GE((run_dir + "/upper").size(), static_cast<size_t>(PATH_MAX));
  OverlayMount o("/lower", "/base", run_dir);
  util::Error err = o.Prepare();
  EXPECT_EQ(err.message(), "mkdir " + run_dir + "/upper: file name too long");
  struct stat st;
  EXPECT_NE(::lstat(run_dir.c_str(), &st), 0);
  EXPECT_EQ(::lstat(parent.c_str(), &st), 0);
}

TEST(Overlay, FailureTextsNameTheStep) {
  ZOL_REQUIRE(::geteuid() == 0, "needs root");
  auto tmp = util::TempDir::Make("zol-overlay-test-");
  ASSERT_TRUE(tmp.ok());
  const std::string ro = tmp->path() + "/ro";
  ASSERT_TRUE(util::EnsureDir(ro).ok());
  InPrivateNamespace([&] {
    // A run directory that cannot be made: the failure names the layer
    // directory being created, then the system's report.
    ASSERT_EQ(::mount("none", ro.c_str(), "tmpfs", MS_RDONLY, ""), 0);
    OverlayMount o("/lower", "/base", ro + "/zol-42");
    EXPECT_EQ(o.Prepare().message(),
              "mkdir " + ro + "/zol-42/upper: mkdir " + ro + "/zol-42: read-only file system");
    ::umount2(ro.c_str(), MNT_DETACH);
  });

  // An overlay that cannot be detached keeps its run directory, and the
  // warning carries the kernel's reason once.
  const std::string run_dir = tmp->path() + "/zol-43";
  ASSERT_TRUE(util::EnsureDir(run_dir + "/upper").ok());
  OverlayMount o("/lower", "/base", run_dir);
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
