// Base layers: install from a busybox root filesystem, the tar retry, hostile
// root filesystems, uninstall with mounts, and the automatic install of a
// missing layer from a package found beside the application.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "tests/fixtures.h"
#include "tests/harness.h"
#include "tests/packages.h"
#include "internal/testing/require.h"

namespace e2e {
namespace {

using ::testing::AnyOf;
using ::testing::ContainsRegex;
using ::testing::Eq;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;

bool Mounted(const std::string& path) {
  return Slurp("/proc/self/mountinfo").find(" " + path + " ") != std::string::npos;
}

class BaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Tests here mount below the sandbox, and every uninstall detaches what
    // it finds mounted in the layer: none of it may touch the host's table.
    ASSERT_TRUE(EnterOwnMountNamespace()) << std::strerror(errno);
    pkgs_ = sb_.Path("pkgs");
    rootfs_ = sb_.Path("src-rootfs");
    mkdir(pkgs_.c_str(), 0755);
    ZOL_REQUIRE(MakeBusyboxRootfs(rootfs_), "busybox-static is not installed");
  }

  std::string BasePackage(const std::string& name = "base.zol", const std::string& version = "1.0") {
    std::string p = pkgs_ + "/" + name;
    EXPECT_TRUE(MakeBasePackage(p, "testbase", "x86_64", version, rootfs_));
    return p;
  }

  // A directory holding a "tar" that runs `body` (a shell fragment) first.
  std::map<std::string, std::string> StubTar(const std::string& body) {
    std::string dir = sb_.Path("stub");
    mkdir(dir.c_str(), 0755);
    Spit(dir + "/tar", "#!/bin/sh\n" + body + "\nexec /bin/tar \"$@\"\n", 0755);
    return {{"PATH", dir + ":/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"}};
  }

  std::string Layer() const { return sb_.runtime_dir + "/testbase-x86_64"; }

  Sandbox sb_;
  std::string pkgs_, rootfs_;
};

TEST_F(BaseTest, InstallLaysOutTheLayer) {
  chmod((rootfs_ + "/tmp").c_str(), 0755);
  ASSERT_EQ(symlink("/nonexistent/resolv.conf", (rootfs_ + "/etc/resolv.conf").c_str()), 0);
  RunResult r = sb_.Zol({"install", BasePackage()});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string rootfs = Layer() + "/rootfs";
  EXPECT_EQ(Slurp(Layer() + "/runtime.json"),
            "{\n  \"id\": \"testbase-x86_64\",\n  \"distro\": \"ubuntu\",\n  \"version\": \"24.04\",\n"
            "  \"arch\": \"x86_64\",\n  \"rootfs\": \"rootfs\"\n}\n");
  EXPECT_EQ(ModeOf(Layer() + "/runtime.json") & 0777, 0644u);
  EXPECT_EQ(ModeOf(rootfs + "/tmp") & 07777, 01777u);
  for (const char* d : {"proc", "sys", "dev", "run", "tmp", "app"}) {
    EXPECT_TRUE(S_ISDIR(ModeOf(rootfs + "/" + d))) << d;
  }
  EXPECT_TRUE(S_ISREG(ModeOf(rootfs + "/etc/resolv.conf")));
  EXPECT_THAT(Slurp(rootfs + "/etc/resolv.conf"), ContainsRegex("^nameserver [0-9.]+\nnameserver [0-9.]+\n$"));
  EXPECT_TRUE(S_ISREG(ModeOf(rootfs + "/bin/busybox")));
  EXPECT_FALSE(PathExists(rootfs + ".installing"));
  EXPECT_THAT(r.err, HasSubstr("[base] Installing base layer: testbase-x86_64 \u2192 " + rootfs + "\n"));
  EXPECT_THAT(r.err, HasSubstr("[base] Fixed dangling resolv.conf symlink.\n"));
  EXPECT_THAT(r.err, HasSubstr("[base] Base layer installed: testbase-x86_64 (" + rootfs + ")\n"));
  EXPECT_THAT(Slurp(sb_.audit_dir + "/audit.log"),
              HasSubstr("\"pkg_name\":\"com.calderim.base.testbase-x86_64\",\"version\":\"1.0\",\"install_path\":\"" +
                        Layer() + "\"}"));
  // Layers are not applications.
  EXPECT_FALSE(PathExists(sb_.db_file));
  EXPECT_FALSE(PathExists(sb_.metrics_path));
}

TEST_F(BaseTest, TarThatRefusesXattrsIsRetriedWithout) {
  const std::string calls = sb_.Path("tar-calls");
  RunResult r = sb_.Zol({"install", BasePackage()},
                        StubTar("echo \"$@\" >> " + calls +
                                "\nfor a in \"$@\"; do [ \"$a\" = --xattrs ] && { echo no xattrs >&2; exit 2; }; done"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(S_ISREG(ModeOf(Layer() + "/rootfs/bin/busybox")));
  // Owners stay numeric in both attempts.
  EXPECT_THAT(Slurp(calls), testing::MatchesRegex("--xattrs --acls --numeric-owner -xJf [^ ]+/files/rootfs.tar.xz -C "
                                                     "[^ ]+\n--numeric-owner -xJf [^ ]+/files/rootfs.tar.xz -C [^ ]+\n"));
}

TEST_F(BaseTest, UnpackingRunsXzOnEveryCoreAndKeepsTheUsersOptions) {
  const std::string seen = sb_.Path("xz-opt");
  std::map<std::string, std::string> env = StubTar("printf '%s\\n' \"$XZ_OPT\" >> " + seen);
  env["XZ_OPT"] = "-q";
  RunResult r = sb_.Zol({"install", BasePackage()}, env);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Slurp(seen), "-T0 --block-size=8MiB -q\n");
  EXPECT_TRUE(S_ISREG(ModeOf(Layer() + "/rootfs/bin/busybox")));
}

TEST_F(BaseTest, FailingTarLeavesNoLayerAndKeepsAnOldOne) {
  std::string pkg = BasePackage();
  RunResult r = sb_.Zol({"install", pkg}, StubTar("exit 2"));
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, EndsWith("[FATAL] install failed: extract rootfs: exit status 2\n"));
  EXPECT_FALSE(PathExists(Layer()));

  ASSERT_EQ(sb_.Zol({"install", pkg}).status, 0);
  Spit(Layer() + "/rootfs/marker", "old");
  r = sb_.Zol({"install", pkg}, StubTar("exit 2"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(Slurp(Layer() + "/rootfs/marker"), "old");
  EXPECT_FALSE(PathExists(Layer() + "/rootfs.installing"));
  EXPECT_EQ(Sh("ls -A '" + sb_.tmp + "'").out, "");
}

TEST_F(BaseTest, ReinstallNeverRemovesThroughAMount) {
  std::string pkg = BasePackage();
  ASSERT_EQ(sb_.Zol({"install", pkg}).status, 0);
  // A host directory mounted inside the live rootfs (a sandbox in the host's
  // namespace would do this), and one inside an old tree that an earlier
  // reinstall could not remove for that very reason.
  const std::string live_src = sb_.Path("live-src"), stale_src = sb_.Path("stale-src");
  const std::string stale = Layer() + "/rootfs.replaced";
  Sh("mkdir -p '" + live_src + "' '" + stale_src + "' '" + stale + "/app'");
  Spit(live_src + "/keep", "live");
  Spit(stale_src + "/keep", "stale");
  ASSERT_EQ(mount(live_src.c_str(), (Layer() + "/rootfs/app").c_str(), nullptr, MS_BIND, nullptr), 0);
  ASSERT_EQ(mount(stale_src.c_str(), (stale + "/app").c_str(), nullptr, MS_BIND, nullptr), 0);

  RunResult r = sb_.Zol({"install", pkg});
  // Wherever the bind mounts ended up, detach them before judging.
  Sh("grep -o ' " + Layer() + "[^ ]*' /proc/self/mountinfo | sort -r | while read m; do umount -l \"$m\"; done");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Slurp(live_src + "/keep"), "live");
  EXPECT_EQ(Slurp(stale_src + "/keep"), "stale");
  EXPECT_TRUE(S_ISREG(ModeOf(Layer() + "/rootfs/bin/busybox")));
  EXPECT_THAT(r.err, ContainsRegex("\\[base\\] remove replaced rootfs " + Layer() +
                                   "/rootfs.replaced-[^:]+: still mounted: " + Layer() +
                                   "/rootfs.replaced-[^/]+(/rootfs)?/app\n"));
}

TEST_F(BaseTest, UninstallStopsAtAMountItCannotDetach) {
  ASSERT_EQ(sb_.Zol({"install", BasePackage()}).status, 0);
  const std::string rootfs = Layer() + "/rootfs";
  const std::string src = sb_.Path("bind-src");
  Sh("mkdir -p '" + src + "' '" + rootfs + "/home'");
  Spit(src + "/keep", "keep");
  // Same file system as the layer, so "rm --one-file-system" alone would
  // empty it.
  ASSERT_EQ(mount(src.c_str(), (rootfs + "/home").c_str(), nullptr, MS_BIND, nullptr), 0);
  RunResult r = sb_.Zol({"uninstall", "base.testbase-x86_64"});
  umount2((rootfs + "/home").c_str(), MNT_DETACH);
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, EndsWith("[FATAL] uninstall failed: remove base layer testbase-x86_64: still mounted: " + rootfs +
                              "/home\n  Tip: ensure no sandbox is running (check 'mount | grep " + rootfs + "')\n"));
  EXPECT_EQ(Slurp(src + "/keep"), "keep");
  EXPECT_TRUE(S_ISREG(ModeOf(rootfs + "/bin/busybox")));
  EXPECT_THAT(Slurp(sb_.audit_dir + "/audit.log"), Not(HasSubstr("PKG_UNINSTALL")));
}

TEST_F(BaseTest, UninstallReadsEscapedMountPointsBack) {
  // The kernel lists a mount point with blank, tab, line feed and backslash
  // as octal escapes. Read back undecoded, a mount below a layer whose path
  // holds one of them no longer lies below the layer, and the removal would
  // go on into the mounted tree.
  const std::string runtimes = sb_.Path("run times\twith\\escapes");
  const std::map<std::string, std::string> env = {{"DRAV_RUNTIME_DIR", runtimes}};
  RunResult installed = sb_.Zol({"install", BasePackage()}, env);
  ASSERT_EQ(installed.status, 0) << installed.err;
  const std::string rootfs = runtimes + "/testbase-x86_64/rootfs";
  const std::string point = rootfs + "/home/a b\nc";
  const std::string src = sb_.Path("bind-src");
  ASSERT_EQ(Sh("mkdir -p " + Q(src) + " " + Q(point)).status, 0);
  Spit(src + "/keep", "keep");
  ASSERT_EQ(mount(src.c_str(), point.c_str(), nullptr, MS_BIND, nullptr), 0);
  RunResult r = sb_.Zol({"uninstall", "base.testbase-x86_64"}, env);
  umount2(point.c_str(), MNT_DETACH);
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, EndsWith("[FATAL] uninstall failed: remove base layer testbase-x86_64: still mounted: " + point +
                              "\n  Tip: ensure no sandbox is running (check 'mount | grep " + rootfs + "')\n"));
  EXPECT_EQ(Slurp(src + "/keep"), "keep");
  EXPECT_TRUE(S_ISREG(ModeOf(rootfs + "/bin/busybox")));
}

TEST_F(BaseTest, HostileRootfsLinksDoNotReachTheHost) {
  const std::string host_tmp = sb_.Path("host-tmp");
  const std::string host_etc = sb_.Path("host-etc");
  mkdir(host_tmp.c_str(), 0755);
  mkdir(host_etc.c_str(), 0755);
  ASSERT_EQ(symlink("/nonexistent/x", (host_etc + "/resolv.conf").c_str()), 0);
  Sh("rm -rf '" + rootfs_ + "/tmp' '" + rootfs_ + "/etc' '" + rootfs_ + "/run'");
  ASSERT_EQ(symlink(host_tmp.c_str(), (rootfs_ + "/tmp").c_str()), 0);
  ASSERT_EQ(symlink(host_etc.c_str(), (rootfs_ + "/etc").c_str()), 0);
  ASSERT_EQ(symlink(host_tmp.c_str(), (rootfs_ + "/run").c_str()), 0);

  RunResult r = sb_.Zol({"install", BasePackage()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ModeOf(host_tmp) & 07777, 0755u);
  EXPECT_TRUE(S_ISLNK(ModeOf(host_etc + "/resolv.conf")));
  EXPECT_EQ(Sh("ls -A '" + host_tmp + "'").out, "");
  EXPECT_THAT(r.err, HasSubstr("[base] mkdir sandbox dir tmp: "));
  EXPECT_THAT(r.err, HasSubstr("[base] chmod tmp: "));
}

TEST_F(BaseTest, UninstallDetachesMountsInsideButNotThroughLinks) {
  ASSERT_EQ(sb_.Zol({"install", BasePackage()}).status, 0);
  const std::string rootfs = Layer() + "/rootfs";
  const std::string src = sb_.Path("bind-src");
  const std::string host_mnt = sb_.Path("host-mnt");
  mkdir(src.c_str(), 0755);
  mkdir(host_mnt.c_str(), 0755);
  Spit(src + "/keep", "keep");
  ASSERT_EQ(mount(src.c_str(), (rootfs + "/proc").c_str(), nullptr, MS_BIND, nullptr), 0);
  ASSERT_EQ(mount("tmpfs", host_mnt.c_str(), "tmpfs", 0, "size=1m"), 0);
  Spit(host_mnt + "/keep", "keep");
  rmdir((rootfs + "/run").c_str());
  ASSERT_EQ(symlink(host_mnt.c_str(), (rootfs + "/run").c_str()), 0);

  RunResult r = sb_.Zol({"uninstall", "base.testbase-x86_64"});
  const bool host_still_mounted = Mounted(host_mnt);
  umount2(host_mnt.c_str(), MNT_DETACH);
  umount2((rootfs + "/proc").c_str(), MNT_DETACH);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(PathExists(Layer()));
  EXPECT_EQ(Slurp(src + "/keep"), "keep");
  EXPECT_TRUE(host_still_mounted);
  EXPECT_THAT(r.err, HasSubstr(" Removing base layer: " + Layer() + "\n"));
  EXPECT_THAT(r.err, HasSubstr("umount " + rootfs + "/sys (ignored): "));
  EXPECT_THAT(r.err, HasSubstr("umount " + rootfs + "/run (ignored): "));
  EXPECT_THAT(r.err, Not(HasSubstr("umount " + rootfs + "/proc (ignored)")));
  EXPECT_THAT(r.err, HasSubstr(" Uninstalled base layer testbase-x86_64\n"));
  EXPECT_THAT(Slurp(sb_.audit_dir + "/audit.log"),
              ContainsRegex("\\{\"event\":\"PKG_UNINSTALL\",\"timestamp\":\"[^\"]+\",\"user\":\"root\","
                            "\"pkg_name\":\"com.calderim.base.testbase-x86_64\"\\}\n$"));
}

TEST_F(BaseTest, UninstallRefusesBadNamesAndMissingLayers) {
  mkdir(sb_.runtime_dir.c_str(), 0755);
  Spit(sb_.runtime_dir + "/canary", "c");
  struct Case {
    const char* id;
    std::string err;
  } cases[] = {
      {"base.", "[FATAL] uninstall failed: invalid base layer name: \n"},
      {"base..", "[FATAL] uninstall failed: invalid base layer name: .\n"},
      {"base.../x", "[FATAL] uninstall failed: invalid base layer name: ../x\n"},
      {"com.calderim.base.nope", "[FATAL] uninstall failed: base layer not installed: nope\n"},
  };
  for (const Case& c : cases) {
    RunResult r = sb_.Zol({"uninstall", c.id});
    EXPECT_EQ(r.status, 1) << c.id;
    EXPECT_THAT(r.err, EndsWith(c.err)) << c.id;
  }
  EXPECT_EQ(Slurp(sb_.runtime_dir + "/canary"), "c");
}

TEST_F(BaseTest, MissingLayerIsInstalledFromThePackageBeside) {
  BasePackage("b-base.zol", "2.0");
  BasePackage("c-base.zol", "3.0");
  Spit(pkgs_ + "/a-corrupt.zol", "not a package");
  AppFields spec;
  std::string app = pkgs_ + "/zz-app.zol";
  ASSERT_TRUE(MakePackage(app, AppManifestJSON(spec), {{"bin/hello", "hi"}}));

  RunResult r = sb_.Zol({"install", app});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string rootfs = Layer() + "/rootfs";
  std::vector<std::string> lines = {
      "[warn] Base layer not found: " + rootfs,
      "[auto] Found base package: " + pkgs_ + "/b-base.zol",
      "[auto] Installing base layer (this may take a few minutes)...",
      "[base] Installing base layer: testbase-x86_64",
      "[auto] Base layer installed successfully.",
      "Installed com.example.hello 1.0",
  };
  ASSERT_TRUE(InOrder(r.err, lines));
  EXPECT_THAT(Slurp(sb_.audit_dir + "/audit.log"), HasSubstr("testbase-x86_64\",\"version\":\"2.0\""));

  // A layer that a killed install left without its runtime.json is not
  // whole: the application's install puts it in again.
  ASSERT_EQ(::unlink((Layer() + "/runtime.json").c_str()), 0);
  r = sb_.Zol({"install", app});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("[warn] Base layer incomplete: " + Layer() + "\n"));
  EXPECT_THAT(r.err, HasSubstr("[auto] Base layer installed successfully.\n"));
  EXPECT_TRUE(PathExists(Layer() + "/runtime.json"));
  r = sb_.Zol({"install", app});
  EXPECT_THAT(r.err, Not(HasSubstr("[auto]"))) << "a whole layer is left alone";

  // Nothing beside the package: only a hint, and the app installs anyway.
  Sandbox other;
  std::string lone = other.Path("lone.zol");
  ASSERT_TRUE(MakePackage(lone, AppManifestJSON(spec), {{"bin/hello", "hi"}}));
  r = other.Zol({"install", lone});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("[warn] No base.zol found in " + other.root + " \u2014 prepare runtime manually.\n"));
}

TEST_F(BaseTest, CraftedAndBrokenCandidatesArePassedOverForTheGenuineOne) {
  // Each crafted package's first "manifest.json" says base, but what the
  // extractor keeps is an application on the same missing base: by a hard
  // link of that name, or by a name that only cleans to it. Installing one
  // would search again and find it again.
  AppFields crafted_app;
  crafted_app.id = "com.example.crafted";
  std::string by_link = pkgs_ + "/a-crafted.zol";
  RunResult c = CraftPackage(by_link, {{'f', "manifest.json", BaseManifestJSON("testbase", "x86_64", "1.0")},
                                        {'d', "files", ""},
                                        {'f', "files/app.json", AppManifestJSON(crafted_app)},
                                        {'h', "manifest.json", "files/app.json"}});
  ASSERT_EQ(c.status, 0) << c.err;
  c = CraftPackage(pkgs_ + "/b-crafted.zol", {{'f', "manifest.json", BaseManifestJSON("testbase", "x86_64", "1.0")},
                                               {'d', "files", ""},
                                               {'f', "files/rootfs.tar.xz", ""},
                                               {'f', "././manifest.json", AppManifestJSON(crafted_app)}});
  ASSERT_EQ(c.status, 0) << c.err;
  // Looks right, fails to install: the next candidate is still tried.
  const std::string broken = pkgs_ + "/c-broken.zol";
  c = CraftPackage(broken, {{'f', "manifest.json", BaseManifestJSON("testbase", "x86_64", "1.0")}, {'d', "files", ""}});
  ASSERT_EQ(c.status, 0) << c.err;
  BasePackage("d-base.zol", "2.0");
  AppFields spec;
  std::string app = pkgs_ + "/z-app.zol";
  ASSERT_TRUE(MakePackage(app, AppManifestJSON(spec), {{"bin/hello", "hi"}}));
  RunResult r = RunArgv({"timeout", "120", ZolBin(), "install", app}, sb_.Env());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, Not(HasSubstr("crafted.zol")));
  const std::vector<std::string> lines = {
      "[auto] Found base package: " + broken,
      "[warn] Auto-install of base layer failed: base package missing files/rootfs.tar.xz",
      "[warn] Run manually: zol-cli install " + broken,
      "[auto] Found base package: " + pkgs_ + "/d-base.zol",
      "[auto] Base layer installed successfully.",
      "Installed com.example.hello 1.0",
  };
  ASSERT_TRUE(InOrder(r.err, lines));
  EXPECT_TRUE(S_ISREG(ModeOf(Layer() + "/rootfs/bin/busybox")));
  EXPECT_THAT(Slurp(sb_.db_file), Not(HasSubstr("com.example.crafted")));
}

TEST_F(BaseTest, SearchSkipsWhatIsNotARegularFile) {
  // A FIFO named like a package sorts first; opening it would block.
  ASSERT_EQ(mkfifo((pkgs_ + "/a-fifo.zol").c_str(), 0644), 0);
  BasePackage("b-base.zol");
  AppFields spec;
  std::string app = pkgs_ + "/zz-app.zol";
  ASSERT_TRUE(MakePackage(app, AppManifestJSON(spec), {{"bin/hello", "hi"}}));
  RunResult r = RunArgv({"timeout", "60", ZolBin(), "install", app}, sb_.Env());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("[auto] Found base package: " + pkgs_ + "/b-base.zol\n"));
  EXPECT_TRUE(S_ISREG(ModeOf(Layer() + "/rootfs/bin/busybox")));
}

TEST_F(BaseTest, CandidateIsJudgedByTheManifestTheExtractorKeeps) {
  // First manifest member says "base", the last (the one extraction keeps)
  // is an application on the same missing base: taking the first would
  // install the application again and again.
  AppFields spec;
  std::string crafted = pkgs_ + "/a-crafted.zol";
  RunResult c = CraftPackage(crafted, {{'f', "manifest.json", BaseManifestJSON("testbase", "x86_64", "1.0")},
                                        {'d', "files", ""},
                                        {'f', "files/rootfs.tar.xz", ""},
                                        {'f', "manifest.json", AppManifestJSON(spec)}});
  ASSERT_EQ(c.status, 0) << c.err;
  std::string app = pkgs_ + "/b-app.zol";
  ASSERT_TRUE(MakePackage(app, AppManifestJSON(spec), {{"bin/hello", "hi"}}));
  RunResult r = sb_.Zol({"install", app});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, Not(HasSubstr("[auto] Found base package")));
  EXPECT_THAT(r.err, HasSubstr("[warn] No base.zol found in"));
}

TEST_F(BaseTest, TwoAppInstallsShareTheMissingLayerBesideThem) {
  BasePackage();
  AppFields specs[2];
  specs[0].id = "com.example.one";
  specs[1].id = "com.example.two";
  std::string apps[2];
  for (int i = 0; i < 2; ++i) {
    apps[i] = pkgs_ + "/" + specs[i].id + ".zol";
    ASSERT_TRUE(MakePackage(apps[i], AppManifestJSON(specs[i]), {{"bin/hello", "hi"}}));
  }
  const std::string rootfs = Layer() + "/rootfs";
  for (int round = 0; round < 8; ++round) {
    Sh("rm -rf '" + sb_.runtime_dir + "' '" + sb_.app_dir + "' '" + sb_.db_file + "'");
    RunResult r[2];
    std::thread other([&] { r[1] = sb_.Zol({"install", apps[1]}); });
    r[0] = sb_.Zol({"install", apps[0]});
    other.join();
    for (const RunResult& one : r) EXPECT_EQ(one.status, 0) << "round " << round << "\n" << one.err;
    EXPECT_TRUE(S_ISREG(ModeOf(rootfs + "/bin/busybox"))) << "round " << round;
    EXPECT_TRUE(S_ISREG(ModeOf(Layer() + "/runtime.json"))) << "round " << round;
    EXPECT_EQ(Sh("ls -A '" + Layer() + "'").out, "rootfs\nruntime.json\n") << "round " << round;
    if (HasFailure()) break;
  }
  // The lock that serialises them is no layer.
  RunResult list = sb_.Zol({"list"});
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_THAT(list.out, ContainsRegex("^ID +KIND +NAME +VERSION +ARCH +STATUS\ncom.calderim.base.testbase-x86_64 +base "
                                      "[^\n]+\ncom.example.(one|two) [^\n]+\ncom.example.(one|two) [^\n]+\n$"));
}


// Base commands killed at sampled points of their file-system work: "list"
// shows the layer only with its whole rootfs, and the command run again
// leaves the layer installed or gone, with nothing a killed one left.
TEST_F(BaseTest, KilledInstallReinstallAndUninstallNeverShowHalfALayer) {
  ZOL_REQUIRE_TOOL("strace");
  const std::string pkg = BasePackage();
  const std::string tree = "find . \\( -type f -o -type l \\) ! -path ./etc/resolv.conf | sort";
  const std::string want = ShOut("cd " + Q(rootfs_) + " && " + tree);
  const std::string listed = "com.calderim.base.testbase-x86_64 ";
  struct Case {
    const char* name;
    std::vector<std::string> args;
    bool before;  // the layer is installed before the command
    bool after;   // and after it
  };
  const Case cases[] = {{"install", {"install", pkg}, false, true},
                        {"reinstall", {"install", pkg}, true, true},
                        {"uninstall", {"uninstall", "base.testbase-x86_64"}, true, false}};
  for (const Case& c : cases) {
    for (const char* sys : {"mkdir", "rename", "renameat2", "unlinkat", "rmdir"}) {
      for (int n = 1;; n *= 2) {
        ASSERT_LT(n, 1 << 14);
        std::string where = c.name;
        where.append(", kill at ").append(sys).append(" #").append(std::to_string(n));
        SCOPED_TRACE(where);
        ShOut("rm -rf " + Q(sb_.runtime_dir));
        if (c.before) {
          ASSERT_EQ(sb_.Zol({"install", pkg}).status, 0);
        }
        std::vector<std::string> argv = {"strace", "-f", "-qq", "-o", "/dev/null", "-e",
                                         std::string("inject=") + sys + ":signal=KILL:when=" + std::to_string(n),
                                         ZolBin()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        // The leak checker of sanitizer builds cannot run under a tracer.
        RunResult r = RunArgv(argv, sb_.Env({{"ASAN_OPTIONS", "detect_leaks=0"}}));
        RunResult list = sb_.Zol({"list"});
        if (list.out.find(listed) != std::string::npos) {
          EXPECT_EQ(ShOut("cd " + Q(Layer() + "/rootfs") + " && " + tree), want) << list.out;
        }
        RunResult again = sb_.Zol(c.args);
        if (c.after) {
          ASSERT_EQ(again.status, 0) << again.err;
          EXPECT_EQ(ShOut("ls -A " + Q(sb_.runtime_dir)), "testbase-x86_64\n");
          EXPECT_EQ(ShOut("ls -A " + Q(Layer())), "rootfs\nruntime.json\n");
        } else {
          EXPECT_THAT(again.status == 0 ? "" : again.err, AnyOf(Eq(""), HasSubstr("base layer not installed")));
          EXPECT_EQ(ShOut("ls -A " + Q(sb_.runtime_dir) + " 2>/dev/null || true"), "");
        }
        if (r.status == 0) break;
      }
    }
  }
}

}  // namespace
}  // namespace e2e
