// "run" end to end: a base layer made from busybox-static and the static probe
// program laid out as an installed application, run through the real binary
// in the sandbox and on the host.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/fixtures.h"
#include "tests/harness.h"
#include "tests/packages.h"
#include "internal/testing/require.h"

namespace e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kAppID = "com.calderim.probe";

// A process that has ended: gone from /proc, or a zombie waiting for init.
bool ProcessGone(const std::string& pid) {
  for (int i = 0; i < 300; ++i) {
    std::string stat = Slurp("/proc/" + pid + "/stat");
    if (stat.empty() || stat.find(") Z ") != std::string::npos) return true;
    ::usleep(10000);
  }
  return false;
}

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ZOL_REQUIRE(::geteuid() == 0, "the sandbox needs root");
    install_ = sb_.app_dir + "/" + kAppID + "/1.0";
    files_ = install_ + "/files";
    rootfs_ = sb_.runtime_dir + "/busybox-x86_64/rootfs";
    ASSERT_TRUE(MakeBusyboxRootfs(rootfs_));
    Spit(rootfs_ + "/etc/motd", "from the base\n");
    ASSERT_EQ(Sh("mkdir -p '" + files_ + "/bin' '" + rootfs_ + "/var' '" + DirName(sb_.db_file) + "' && cp '" +
                 std::string(ZOL_PROBE) + "' '" + files_ + "/bin/probe'")
                  .status,
              0);
    WriteManifest("/app/bin/probe");
    WriteDB();
  }

  void WriteDB() {
    Spit(sb_.db_file, std::string("[\n  {\n    \"id\": \"") + kAppID +
                               "\",\n    \"name\": \"probe\",\n    \"version\": \"1.0\",\n    \"arch\": \"x86_64\",\n"
                               "    \"base\": \"busybox\",\n    \"kind\": \"cli\",\n    \"install_path\": \"" +
                               install_ + "\",\n    \"status\": \"installed\",\n"
                                          "    \"installed_at\": \"2026-01-02T03:04:05Z\"\n  }\n]",
              0640);
  }

  static std::string DirName(const std::string& p) { return p.substr(0, p.rfind('/')); }

  void WriteManifest(const std::string& command, const std::string& args_json = "[]",
                     const std::string& pythonpath = "") {
    Spit(install_ + "/manifest.json",
              std::string("{\"id\":\"") + kAppID +
                  "\",\"name\":\"probe\",\"version\":\"1.0\",\"arch\":\"x86_64\",\"base\":\"busybox\","
                  "\"kind\":\"cli\",\"entry\":{\"command\":\"" +
                  command + "\",\"args\":" + args_json +
                  "},\"runtime\":{\"distro\":\"calderim\",\"version\":\"busybox\",\"env\":{"
                  "\"PATH\":\"/app/bin:/usr/bin:/bin\",\"LD_LIBRARY_PATH\":\"/app/lib\",\"HOME\":\"/nowhere\"" +
                  (pythonpath.empty() ? "" : ",\"PYTHONPATH\":\"" + pythonpath + "\"") + "}}}");
  }

  RunResult Run(const std::vector<std::string>& args, const std::map<std::string, std::string>& extra = {}) {
    return ZolWithStandIns(sb_, args, {.run_on_tmpfs = false, .env = extra});
  }

  // A shell script with $ZOL, $FILES, $ROOTFS and $OUT set, for runs that are
  // observed from outside while the application waits.
  RunResult Script(const std::string& script, const std::map<std::string, std::string>& extra = {}) {
    std::map<std::string, std::string> env = extra;
    env["FILES"] = files_;
    env["ROOTFS"] = rootfs_;
    env["OUT"] = sb_.root + "/out";
    return ShWithStandIns(sb_, script, {.run_on_tmpfs = false, .env = env});
  }

  // Starts "run ... wait" in the background and waits until the application
  // is up; then $Z is zol-cli's pid, $A the application's, $G the grandchild's.
  static std::string StartWaiting(const std::string& run_flags = "") {
    return "rm -f \"$FILES/ready\" \"$FILES/mark\" \"$FILES/gpid\"\n"
           "\"$ZOL\" run " + run_flags + " com.calderim.probe wait /app/ready /app/mark /app/gpid >\"$OUT\" 2>&1 &\n"
           "Z=$!\n"
           "i=0; while [ ! -f \"$FILES/ready\" ]; do\n"
           "  i=$((i+1)); if [ $i -gt 1000 ] || ! kill -0 $Z 2>/dev/null; then cat \"$OUT\"; exit 9; fi; sleep 0.01\n"
           "done\n"
           "A=$(cat \"$FILES/ready\"); G=$(cat \"$FILES/gpid\")\n"
           "echo \"Z=$Z A=$A G=$G\"\n";
  }

  // Each of `parts` is in what the run's script wrote; a failure shows all of it.
  static void ExpectOutHas(const RunResult& r, const std::vector<std::string>& parts) {
    for (const std::string& part : parts) EXPECT_THAT(r.out, HasSubstr(part)) << r.out;
  }

  static std::map<std::string, std::string> Vars(const std::string& out) {
    std::map<std::string, std::string> vars;
    std::smatch m;
    std::regex re("([A-Z])=([0-9]+)");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), re); it != std::sregex_iterator(); ++it) {
      vars[(*it)[1]] = (*it)[2];
    }
    return vars;
  }

  // The audit records of the runs so far, as "EVENT" or "EVENT exit=N", and
  // the pid that their runtime id names.
  std::vector<std::string> AuditEvents(std::string* pid = nullptr) {
    std::vector<std::string> out;
    std::regex event("\"event\":\"([A-Z_]+)\"");
    std::regex code("\"exit_code\":(-?[0-9]+)");
    std::regex rid(std::string("\"runtime_id\":\"") + kAppID + "-([0-9]+)\"");
    for (const std::string& line : Lines(Slurp(sb_.audit_dir + "/audit.log"))) {
      std::smatch m;
      if (!std::regex_search(line, m, event)) continue;
      std::string e = m[1];
      if (std::regex_search(line, m, code)) e += " exit=" + m[1].str();
      if (pid != nullptr && std::regex_search(line, m, rid)) *pid = m[1];
      out.push_back(e);
    }
    return out;
  }

  void ExpectNothingLeft(const std::string& pid) const {
    EXPECT_FALSE(PathExists("/run/zol-" + pid));
    EXPECT_FALSE(PathExists(sb_.root + "/standin/run/zol-" + pid));
    for (const char* c : {"pids", "memory", "cpu"}) {
      EXPECT_FALSE(PathExists(std::string("/sys/fs/cgroup/") + c + "/zol-" + pid)) << c;
    }
  }

  Sandbox sb_;
  std::string install_, files_, rootfs_;
};

TEST_F(RunTest, RootIsTheBaseWithTheAppAtApp) {
  RunResult r = Run({"run", kAppID, "stat", "/bin/busybox", "/etc/motd", "/app/bin/probe", "/tmp", sb_.root,
                     "/work"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "/bin/busybox f\n/etc/motd f\n/app/bin/probe f\n/tmp d\n" + sb_.root + " -\n/work -\n");
  EXPECT_EQ(Run({"run", kAppID, "ls", "/tmp"}).out, "");

  r = Run({"run", kAppID, "write", "/app/written", "by the app"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(Slurp(files_ + "/written"), "by the app");

  // Host files are bound read-only, sysfs is read-only.
  for (const char* path : {"/etc/hosts", "/sys/kernel/zol"}) {
    r = Run({"run", kAppID, "write", path, "x"});
    EXPECT_THAT(r.out, HasSubstr("Read-only file system")) << path;
  }
}

TEST_F(RunTest, FrontEndFlagsAndUsage) {
  RunResult r = Run({"run"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Usage: zol-cli run [--no-sandbox] <appid> [command]\n");
  EXPECT_THAT(r.err, HasSubstr("[FATAL] application ID required\n"));

  r = Run({"run", "-h"});
  EXPECT_EQ(r.out, "Usage: zol-cli run [--no-sandbox] <appid> [command]\n");
  EXPECT_THAT(r.err, HasSubstr("[FATAL] parse run flags: flag: help requested\n"));

  // After the id everything goes to the application, flags included, after
  // the manifest's own entry arguments.
  WriteManifest("/app/bin/probe", "[\"args\", \"first\"]");
  r = Run({"run", kAppID, "--no-sandbox", "--", "-x"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "[first]\n[--no-sandbox]\n[--]\n[-x]\n");
  WriteManifest("/app/bin/probe");
  r = Run({"run", "--no-sandbox", kAppID, "args", "-x", "y"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "[-x]\n[y]\n");
  EXPECT_EQ(r.err.find("[FATAL]"), std::string::npos);
}

TEST_F(RunTest, NothingLeaksIntoASharedHostNamespace) {
  RunResult r = Script(
      "exec unshare -m --propagation unchanged sh -c '\n"
      "mount --make-rshared /\n" +
      StartWaiting() +
      "cat /proc/$$/mountinfo > \"$OUT.outer\"\n"
      "cat /proc/$A/mountinfo > \"$OUT.inner\"\n"
      "kill -TERM $Z; wait $Z; echo rc=$?\n'");
  ASSERT_THAT(r.out, HasSubstr("rc=1\n")) << r.out << r.err;
  std::string outer = Slurp(sb_.root + "/out.outer");
  ASSERT_FALSE(outer.empty());
  EXPECT_THAT(outer, Not(HasSubstr(rootfs_)));
  EXPECT_THAT(outer, Not(HasSubstr("/run/zol-")));

  // The application's own table: mount points as it sees them, in plan order.
  std::vector<std::string> points;
  for (const std::string& line : Lines(Slurp(sb_.root + "/out.inner"))) {
    std::istringstream in(line);
    std::string id, parent, dev, root, point;
    in >> id >> parent >> dev >> root >> point;
    points.push_back(point);
  }
  auto pos = [&](const std::string& p) { return std::find(points.begin(), points.end(), p) - points.begin(); };
  for (const char* p : {"/app", "/proc", "/sys", "/dev", "/dev/pts", "/dev/ptmx", "/tmp", "/etc/hosts"}) {
    EXPECT_LT(pos(p), static_cast<long>(points.size())) << p;
  }
  EXPECT_LT(pos("/app"), pos("/proc"));
  EXPECT_LT(pos("/proc"), pos("/sys"));
  EXPECT_LT(pos("/dev/pts"), pos("/tmp"));
  EXPECT_LT(pos("/tmp"), pos("/etc/hosts"));
}

TEST_F(RunTest, DevHasTheTableAndAWorkingTerminal) {
  RunResult r = Run({"run", kAppID, "stat", "/dev/null", "/dev/zero", "/dev/full", "/dev/random", "/dev/urandom",
                     "/dev/tty", "/dev/console", "/dev/ptmx", "/dev/stdin", "/dev/stdout", "/dev/stderr", "/dev/fd",
                     "/dev/shm", "/dev/pts", "/dev/sda"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "/dev/null c 1:3\n/dev/zero c 1:5\n/dev/full c 1:7\n/dev/random c 1:8\n/dev/urandom c 1:9\n"
            "/dev/tty c 5:0\n/dev/console c 5:1\n/dev/ptmx c 5:2\n/dev/stdin l /proc/self/fd/0\n"
            "/dev/stdout l /proc/self/fd/1\n/dev/stderr l /proc/self/fd/2\n/dev/fd l /proc/self/fd\n"
            "/dev/shm d\n/dev/pts d\n/dev/sda -\n");
  r = Run({"run", kAppID, "pty"});
  EXPECT_EQ(r.out, "pty /dev/pts/0 ping\n") << r.err;
}

TEST_F(RunTest, OverlayLayerWinsAndLeavesNothingBehind) {
  ASSERT_EQ(Sh("mkdir -p '" + files_ + "/rootfs-overlay/etc'").status, 0);
  Spit(files_ + "/rootfs-overlay/etc/motd", "from the app\n");
  EXPECT_EQ(Run({"run", kAppID, "cat", "/etc/motd"}).out, "from the app\n");

  RunResult r = Script(StartWaiting() +
                       "ls /run/zol-$Z\n"
                       "kill -TERM $Z; wait $Z; echo rc=$?\n");
  ASSERT_THAT(r.out, HasSubstr("rc=1\n")) << r.out << r.err;
  EXPECT_THAT(r.out, HasSubstr("merged\nupper\nwork\n"));
  std::string pid = Vars(r.out)["Z"];
  ExpectNothingLeft(pid);

  // Writes into the root land in the run's upper layer and go with it.
  r = Run({"run", kAppID, "write", "/etc/motd", "changed"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  r = Run({"run", kAppID, "write", "/var/new", "x"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(Slurp(files_ + "/rootfs-overlay/etc/motd"), "from the app\n");
  EXPECT_EQ(Slurp(rootfs_ + "/etc/motd"), "from the base\n");
  EXPECT_FALSE(PathExists(rootfs_ + "/var/new"));
  EXPECT_FALSE(PathExists(files_ + "/rootfs-overlay/var"));
  // The host's shadow file was copied into the upper layer only.
  EXPECT_FALSE(PathExists(rootfs_ + "/etc/shadow"));
}

TEST_F(RunTest, WithoutAnOverlayTheBaseIsTheRoot) {
  ASSERT_EQ(Sh("mkdir -p '" + files_ + "/rootfs-overlay'").status, 0);  // empty: no overlay
  RunResult r = Run({"run", kAppID, "write", "/var/new", "x"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(Slurp(rootfs_ + "/var/new"), "x");
  EXPECT_FALSE(PathExists(rootfs_ + "/etc/shadow"));
  std::string pid;
  AuditEvents(&pid);
  EXPECT_FALSE(PathExists("/run/zol-" + pid));
  EXPECT_FALSE(PathExists(sb_.root + "/standin/run/zol-" + pid));
}

TEST_F(RunTest, CgroupLimitsDuringTheRunAndGoneAfter) {
  RunResult r = Script(StartWaiting() +
                       "echo mem=$(cat /sys/fs/cgroup/memory/zol-$Z/memory.limit_in_bytes)\n"
                       "echo memsw=$(cat /sys/fs/cgroup/memory/zol-$Z/memory.memsw.limit_in_bytes)\n"
                       "echo shares=$(cat /sys/fs/cgroup/cpu/zol-$Z/cpu.shares)\n"
                       "grep -c zol-$Z /proc/$A/cgroup\n"
                       "kill -TERM $Z; wait $Z\n");
  EXPECT_THAT(r.out, HasSubstr("mem=2147483648\nmemsw=2147483648\nshares=5242\n3\n")) << r.out << r.err;
  ExpectNothingLeft(Vars(r.out)["Z"]);

  r = Script(StartWaiting() +
             "ls -d /sys/fs/cgroup/pids/zol-$Z /sys/fs/cgroup/memory/zol-$Z /sys/fs/cgroup/cpu/zol-$Z 2>&1\n"
             "kill -TERM $Z; wait $Z\n",
             {{"ZOL_MEMORY_LIMIT_MB", "0"}, {"ZOL_CPU_WEIGHT", "0"}});
  std::string z = Vars(r.out)["Z"];
  EXPECT_THAT(r.out, HasSubstr("/sys/fs/cgroup/pids/zol-" + z + "\n")) << r.out;
  EXPECT_THAT(r.out, HasSubstr("memory/zol-" + z + "': No such file"));
  EXPECT_THAT(r.out, HasSubstr("cpu/zol-" + z + "': No such file"));
}

TEST_F(RunTest, HugeMemoryLimitIsRefusedNotWrapped) {
  RunResult r = Run({"run", kAppID, "exit", "0"}, {{"ZOL_MEMORY_LIMIT_MB", "9223372036854775807"}});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("is too large"));
}

TEST_F(RunTest, V2LayoutThroughABindMountKillsThroughCgroupKill) {
  ZOL_REQUIRE(PathExists("/sys/fs/cgroup/unified/cgroup.procs"), "no cgroup2 hierarchy");
  RunResult r = Script(
      "exec unshare -m sh -c '\n"
      "mount --bind /sys/fs/cgroup/unified /sys/fs/cgroup || exit 7\n" +
      StartWaiting() +
      "cat /proc/$A/cgroup\n"
      "kill -TERM $Z; wait $Z; echo rc=$?\n"
      "ls -d /sys/fs/cgroup/zol-$Z 2>&1\n"
      "cat \"$OUT\"'");
  std::map<std::string, std::string> v = Vars(r.out);
  ASSERT_THAT(r.out, HasSubstr("rc=1\n")) << r.out << r.err;
  EXPECT_THAT(r.out, HasSubstr("0::/zol-" + v["Z"] + "\n"));
  EXPECT_THAT(r.out, HasSubstr("zol-" + v["Z"] + "': No such file"));
  // This machine's v2 hierarchy has no memory or cpu controller: both
  // writes are tried and reported.
  EXPECT_THAT(r.out, HasSubstr("cgroup v2 set memory.max: "));
  EXPECT_THAT(r.out, HasSubstr("cgroup v2 set cpu.weight: "));
  EXPECT_TRUE(ProcessGone(v["A"]));
  EXPECT_TRUE(ProcessGone(v["G"]));
}

TEST_F(RunTest, MemoryHogIsKilled) {
  RunResult r = Run({"run", kAppID, "hog"}, {{"ZOL_MEMORY_LIMIT_MB", "64"}});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("[FATAL] failed to run app: exit status -1\n"));
}

TEST_F(RunTest, GrandchildInItsOwnSessionEndsWithTheRun) {
  RunResult r = Run({"run", kAppID, "spawn", "/app/gpid"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string g = Slurp(files_ + "/gpid");
  ASSERT_FALSE(g.empty());
  EXPECT_TRUE(ProcessGone(g));
}

TEST_F(RunTest, TerminationSignalsKillTheTreeAndTeardownCompletes) {
  struct Case {
    const char* name;
    const char* send;
  };
  for (const Case& c : {Case{"SIGTERM", "kill -TERM $Z"}, Case{"SIGHUP", "kill -HUP $Z"},
                        Case{"two SIGINTs", "kill -INT $Z; sleep 0.05; kill -INT $Z"}}) {
    SCOPED_TRACE(c.name);
    RunResult r = Script(StartWaiting() + c.send + "; wait $Z; echo rc=$?\n");
    std::map<std::string, std::string> v = Vars(r.out);
    EXPECT_THAT(r.out, HasSubstr("rc=1\n")) << r.out << r.err;
    EXPECT_THAT(Slurp(sb_.root + "/out"), HasSubstr("[FATAL] failed to run app: exit status -1\n"));
    EXPECT_TRUE(ProcessGone(v["A"]));
    EXPECT_TRUE(ProcessGone(v["G"]));
    EXPECT_FALSE(PathExists(files_ + "/mark")) << "the application received the signal";
    std::vector<std::string> events = AuditEvents();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), "RUNTIME_DESTROY exit=1");
    ExpectNothingLeft(v["Z"]);
  }
}

TEST_F(RunTest, WithoutControlGroupsASignalKillsTheProcessTree) {
  // No hierarchy can be written: no group exists, and only the walk of the
  // application's process tree can end it.
  RunResult r = Script(
      "exec unshare -m sh -c '\n"
      "mount -t tmpfs -o ro none /sys/fs/cgroup || exit 7\n" +
      StartWaiting() +
      "kill -TERM $Z; wait $Z; echo rc=$?\n"
      "cat \"$OUT\"'");
  std::map<std::string, std::string> v = Vars(r.out);
  ASSERT_THAT(r.out, HasSubstr("rc=1\n")) << r.out << r.err;
  EXPECT_THAT(r.out, HasSubstr("cgroup v1 pids mkdir /sys/fs/cgroup/pids/zol-" + v["Z"]));
  EXPECT_THAT(r.out, HasSubstr("[FATAL] failed to run app: exit status -1\n"));
  EXPECT_TRUE(ProcessGone(v["A"]));
  // The grandchild left the tree when its parent exited; nothing can find it.
  if (!v["G"].empty()) ::kill(std::stoi(v["G"]), SIGKILL);
}

TEST_F(RunTest, SignalDuringTeardownStillLeavesNothingBehind) {
  ASSERT_EQ(Sh("mkdir -p '" + files_ + "/rootfs-overlay/etc'").status, 0);
  Spit(files_ + "/rootfs-overlay/etc/motd", "from the app\n");
  // A burst of signals: the first starts the teardown, the rest arrive while
  // it runs and must not end the runtime half-way.
  RunResult r = Script(StartWaiting() +
                       "kill -INT $Z; for i in 1 2 3 4 5 6 7 8 9 10; do kill -INT $Z 2>/dev/null; kill -TERM $Z "
                       "2>/dev/null; sleep 0.002; done; wait $Z; echo rc=$?\n");
  std::map<std::string, std::string> v = Vars(r.out);
  // The run fails with 1; a signal of the burst that comes once everything
  // is written may still end the finished process (143), since default
  // handling is back by then. What it must never do is end it earlier.
  EXPECT_THAT(r.out, ::testing::ContainsRegex("rc=(1|143)\n")) << r.out << r.err;
  EXPECT_EQ(AuditEvents().back(), "RUNTIME_DESTROY exit=1");
  ExpectNothingLeft(v["Z"]);
}

// Runs `run ARGS` with the stand-ins. Prints rc=, the run's output, and
// "run:" with what /run holds after it.
RunResult RunWithStandIns(const Sandbox& sb, const std::string& args, bool run_on_tmpfs,
                          const std::string& wrap = "") {
  StandIns opts;
  opts.run_on_tmpfs = run_on_tmpfs;
  return ShWithStandIns(sb, wrap + " \"$ZOL\" run " + args + " 2>&1; echo rc=$?\necho run:$(ls -A /run)\n", opts);
}

TEST_F(RunTest, LinksInLayersNeverMakeTheTeardownDeleteOutsideTheRun) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::string refused;  // the target the run names
  };
  const Case cases[] = {
      {"base proc -> .", [&] { ASSERT_EQ(Sh("rmdir '" + rootfs_ + "/proc' 2>/dev/null; ln -sfn . '" + rootfs_ + "/proc'").status, 0); },
       "/merged/proc: it resolves to the sandbox root"},
      {"overlay app -> . and files/proc -> .",
       [&] { ASSERT_EQ(Sh("ln -sfn . '" + files_ + "/rootfs-overlay/app' && ln -sfn . '" + files_ + "/proc'").status, 0); },
       "/merged/app: it resolves to the sandbox root"},
  };
  for (const Case& c : cases) {
    for (bool tmpfs : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (tmpfs ? ", /run on tmpfs" : ", /run on the root file system"));
      ASSERT_EQ(Sh("rm -rf '" + rootfs_ + "/proc' '" + files_ + "/proc' '" + files_ + "/rootfs-overlay' && mkdir -p '" +
                   files_ + "/rootfs-overlay/etc'")
                    .status,
                0);
      Spit(files_ + "/rootfs-overlay/etc/motd", "from the app\n");
      c.arrange();
      RunResult r = RunWithStandIns(sb_, std::string(kAppID) + " exit 0", tmpfs);
      EXPECT_THAT(r.out, HasSubstr("rc=1\n")) << r.out << r.err;
      EXPECT_THAT(r.out, ::testing::ContainsRegex("\\[FATAL\\] failed to run app: .*refusing mount target /run/zol-[0-9]+" +
                                                  c.refused))
          << r.out;
      EXPECT_THAT(r.out, ::testing::ContainsRegex("run:[^\n]*\n$"));
      EXPECT_THAT(r.out, Not(::testing::ContainsRegex("run:[^\n]*zol-")));
      EXPECT_EQ(Slurp(sb_.root + "/standin/home/user/keep"), "mine\n");
      EXPECT_EQ(Slurp(files_ + "/rootfs-overlay/etc/motd"), "from the app\n");
      EXPECT_TRUE(PathExists(files_ + "/bin/probe"));
      EXPECT_TRUE(PathExists(rootfs_ + "/bin/busybox"));
    }
  }
}

TEST_F(RunTest, HostSecretsNeverLeaveTheRunThroughALink) {
  ASSERT_EQ(Sh("mkdir -p '" + files_ + "/rootfs-overlay' && ln -s app '" + files_ + "/rootfs-overlay/etc'").status, 0);
  RunResult r = RunWithStandIns(sb_, std::string(kAppID) + " exit 0", false);
  EXPECT_THAT(r.out, HasSubstr("rc=")) << r.out;
  EXPECT_EQ(Sh("grep -rl STANDIN-SHADOW-7f3a '" + install_ + "' '" + rootfs_ + "'").out, "");
  EXPECT_FALSE(PathExists(files_ + "/shadow"));
  EXPECT_FALSE(PathExists(files_ + "/hosts"));
}

TEST_F(RunTest, MountPointLinksResolveInsideTheLayer) {
  // Absolute, as many root file systems have it; the target is the layer's.
  ASSERT_EQ(Sh("mkdir -p '" + rootfs_ + "/run' && echo \"layer's own\" > '" + rootfs_ + "/run/resolv.conf' && ln -s "
               "/run/resolv.conf '" + rootfs_ + "/etc/resolv.conf'")
                .status,
            0);
  RunResult r = RunWithStandIns(sb_, std::string(kAppID) + " cat /etc/resolv.conf", true);
  EXPECT_THAT(r.out, HasSubstr("nameserver 192.0.2.53\nrc=0\n")) << r.out;
  EXPECT_EQ(Slurp(rootfs_ + "/run/resolv.conf"), "layer's own\n");

  // Pointing at a path that only the host has, it leads into the layer,
  // where nothing is there to bind on: the host's file stays untouched.
  const std::string host_only = sb_.root + "/host-only/resolv.conf";
  ASSERT_EQ(Sh("mkdir -p '" + sb_.root + "/host-only' && echo host > '" + host_only + "' && ln -sfn '" + host_only +
               "' '" + rootfs_ + "/etc/resolv.conf'")
                .status,
            0);
  r = RunWithStandIns(sb_, std::string(kAppID) + " cat /etc/resolv.conf", true);
  EXPECT_THAT(r.out, HasSubstr("create bind target " + rootfs_ + "/etc/resolv.conf: open " + rootfs_ +
                               "/etc/resolv.conf: no such file or directory"))
      << r.out;
  EXPECT_THAT(r.out, HasSubstr("rc=1\n"));
  EXPECT_EQ(Slurp(host_only), "host\n");
  EXPECT_EQ(Sh("ls -A '" + sb_.root + "/host-only'").out, "resolv.conf\n");
}

// The live processes whose command line holds `tag`.
std::vector<pid_t> LiveTagged(const std::string& tag) {
  std::vector<pid_t> out;
  DIR* d = ::opendir("/proc");
  if (d == nullptr) return out;
  while (struct dirent* e = ::readdir(d)) {
    if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
    pid_t p = std::atoi(e->d_name);
    if (p == ::getpid()) continue;
    std::string cmdline = Slurp(std::string("/proc/") + e->d_name + "/cmdline");
    std::string stat = Slurp(std::string("/proc/") + e->d_name + "/stat");
    if (cmdline.find(tag) == std::string::npos || stat.empty() || stat.find(") Z ") != std::string::npos) continue;
    out.push_back(p);
  }
  ::closedir(d);
  return out;
}

// Kills what a failed run left behind, so that it does not outlive the test.
void KillTagged(const std::string& tag) {
  for (int round = 0; round < 2000; ++round) {
    std::vector<pid_t> live = LiveTagged(tag);
    if (live.empty()) return;
    for (pid_t p : live) ::kill(p, SIGKILL);
    ::usleep(1000);
  }
}

TEST_F(RunTest, AnApplicationThatForksWhileItExitsLeavesNothing) {
  WriteManifest("/bin/sh");
  const std::string tag = "32109";
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE("run " + std::to_string(i + 1));
    // Leftovers must not hold the output pipes, or the test would wait on them.
    RunResult r = Run({"run", kAppID, "-c",
                       "exec >/dev/null 2>&1; for j in 1 2 3 4; do (while :; do sleep " + tag +
                           " & done) & done; sleep 0.2; exit 0"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, Not(HasSubstr("failed to remove cgroup path")));
    std::string pid;
    AuditEvents(&pid);
    ExpectNothingLeft(pid);
    EXPECT_EQ(LiveTagged(tag).size(), 0u) << "processes outlived the run";
    KillTagged(tag);
    for (const char* c : {"pids", "memory", "cpu"}) ::rmdir((std::string("/sys/fs/cgroup/") + c + "/zol-" + pid).c_str());
  }
}

TEST_F(RunTest, InsideTheSandbox) {
  RunResult r = Run({"run", kAppID, "info"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.out, m, std::regex("NoNewPrivs:\\s+1\npid=([0-9]+) pgid=([0-9]+) cwd=/\n")))
      << r.out;
  EXPECT_EQ(m[1], m[2]);

  // Exactly the seven names (those with values) and DRAV_SANDBOX, whatever the
  // caller's environment holds (the harness sets HOME and USER).
  r = Run({"run", kAppID, "env"});
  EXPECT_EQ(r.out,
            "DRAV_APP_ID=com.calderim.probe\nDRAV_APP_NAME=probe\nDRAV_APP_VERSION=1.0\n"
            "DRAV_RUNTIME_BASE=busybox\nPATH=/app/bin:/usr/bin:/bin\nLD_LIBRARY_PATH=/app/lib\nDRAV_SANDBOX=1\n");

  r = Script("exec 7</dev/null; exec \"$ZOL\" run com.calderim.probe fds");
  EXPECT_EQ(r.out, "0\n1\n2\n") << r.err;
}

TEST_F(RunTest, OnTheHost) {
  RunResult r = Run({"run", "--no-sandbox", kAppID, "env"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> env = Lines(r.out);
  auto has = [&](const std::string& e) { return std::find(env.begin(), env.end(), e) != env.end(); };
  EXPECT_TRUE(has("PATH=" + files_ + "/bin:/usr/bin:/bin"));
  EXPECT_TRUE(has("LD_LIBRARY_PATH=" + files_ + "/lib"));
  EXPECT_TRUE(has("HOME=" + sb_.home));  // the runtime's own; the manifest's HOME is not passed
  EXPECT_TRUE(has("DRAV_APP_ID=com.calderim.probe"));
  EXPECT_EQ(r.out.find("DRAV_SANDBOX"), std::string::npos);
  EXPECT_EQ(std::count_if(env.begin(), env.end(), [](const std::string& e) { return e.rfind("PATH=", 0) == 0; }), 1);

  r = Script("exec 7</dev/null; exec \"$ZOL\" run --no-sandbox com.calderim.probe fds");
  EXPECT_EQ(r.out, "0\n1\n2\n") << r.err;

  r = Run({"run", "--no-sandbox", kAppID, "args", "a;b"});
  EXPECT_THAT(r.err, HasSubstr("[FATAL] failed to run app: invalid command argument: a;b\n"));
}

TEST_F(RunTest, ExitCodesAsRecorded) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string fatal;  // empty: none
    std::string recorded;
  };
  const Case cases[] = {
      {{"run", kAppID, "exit", "0"}, 0, "", "RUNTIME_DESTROY exit=0"},
      {{"run", kAppID, "exit", "3"}, 1, "[FATAL] failed to run app: exit status 3\n", "RUNTIME_DESTROY exit=1"},
      {{"run", kAppID, "selfkill"}, 1, "[FATAL] failed to run app: exit status -1\n", "RUNTIME_DESTROY exit=1"},
      {{"run", "--no-sandbox", kAppID, "exit", "3"}, 1, "[FATAL] failed to run app: exit status 3\n",
       "RUNTIME_DESTROY exit=3"},
      {{"run", "--no-sandbox", kAppID, "selfkill"}, 1, "[FATAL] failed to run app: signal: killed\n",
       "RUNTIME_DESTROY exit=-1"},
      {{"run", "--no-sandbox", kAppID, "exit", "0"}, 0, "", "RUNTIME_DESTROY exit=0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back() + (c.args[1] == "--no-sandbox" ? " on the host" : " in the sandbox"));
    RunResult r = Run(c.args);
    EXPECT_EQ(r.status, c.status);
    if (c.fatal.empty()) {
      EXPECT_EQ(r.err.find("[FATAL]"), std::string::npos) << r.err;
    } else {
      EXPECT_THAT(r.err, HasSubstr(c.fatal));
    }
    std::string pid;
    std::vector<std::string> events = AuditEvents(&pid);
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(events.end() - 3, events.end()),
              (std::vector<std::string>{"PKG_RUN", "RUNTIME_CREATE", c.recorded}));
    ExpectNothingLeft(pid);
  }
  EXPECT_THAT(Slurp(sb_.metrics_path), HasSubstr("zol_runtime_active 0\n"));
  // A run starts its process with the gauge at 0; the file still counts the
  // recorded applications.
  EXPECT_THAT(Slurp(sb_.metrics_path), HasSubstr("zol_installed_packages 1\n"));
}

TEST_F(RunTest, FailureChains) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::string fatal;
  };
  const Case cases[] = {
      {"entry missing inside the sandbox", [&] { WriteManifest("/app/bin/missing", "[]"); },
       "[FATAL] failed to run app: fork/exec /app/bin/missing: no such file or directory\n"},
      {"relative entry", [&] { WriteManifest("bin/probe", "[]"); },
       "[FATAL] failed to run app: relative executable path is not allowed: bin/probe\n"},
      {"script whose interpreter the base lacks",
       [&] {
         Spit(files_ + "/bin/yamllint", "#!/usr/bin/python3\nprint(1)\n", 0755);
         WriteManifest("/app/bin/yamllint", "[]");
       },
       "[FATAL] failed to run app: fork/exec /app/bin/yamllint: interpreter /usr/bin/python3 not found\n"},
      {"base layer not installed", [&] { ASSERT_EQ(Sh("rm -rf '" + rootfs_ + "'").status, 0); },
       "[FATAL] failed to run app: runtime rootfs not found: " + rootfs_ + " (install runtime first)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    RunResult r = Run({"run", kAppID});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr(c.fatal));
    std::string pid;
    std::vector<std::string> events = AuditEvents(&pid);
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(events.end() - 3, events.end()),
              (std::vector<std::string>{"PKG_RUN", "RUNTIME_CREATE", "RUNTIME_DESTROY exit=1"}));
    ExpectNothingLeft(pid);
  }
  EXPECT_TRUE(PathExists(files_ + "/bin/probe"));

  size_t before = AuditEvents().size();
  RunResult r = Run({"run", "com.calderim.nope"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("[FATAL] failed to create runtime: app com.calderim.nope not installed\n"));
  EXPECT_EQ(AuditEvents().size(), before);
}

// A layer may hold a device node, a FIFO or a socket where the host's shadow
// files are copied: nothing is written into it, the run neither blocks nor
// fails, and the warning names what the file is.
TEST_F(RunTest, SpecialFilesAtTheShadowPathsReceiveNothing) {
  ZOL_REQUIRE_TOOL("losetup");
  ASSERT_EQ(Sh("mkdir -p '" + files_ + "/rootfs-overlay/etc'").status, 0);
  Spit(files_ + "/rootfs-overlay/etc/motd", "from the app\n");
  const std::string scratch = sb_.root + "/scratch.img";
  RunResult loop = Sh("truncate -s 1M '" + scratch + "' && losetup -f --show '" + scratch + "'");
  ASSERT_EQ(loop.status, 0) << loop.err;
  const std::string dev = Lines(loop.out).at(0);
  struct Detach {
    std::string dev;
    ~Detach() { Sh("losetup -d '" + dev + "'"); }
  } detach{dev};
  struct Case {
    const char* name;
    std::string make;  // run in etc of the base
    std::vector<std::string> warnings;
  };
  const Case cases[] = {
      {"block device", "mknod shadow b $(stat -c '%t %T' " + dev + " | (read a b; echo $((0x$a)) $((0x$b))))",
       {"failed to copy /etc/shadow into sandbox: /run/zol-"}},
      {"FIFO and socket", "mkfifo gshadow && python3 -c 'import socket; socket.socket(socket.AF_UNIX).bind(\"shadow\")'",
       {"/etc/shadow is a socket, not a regular file", "/etc/gshadow is a FIFO, not a regular file"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Sh("cd '" + rootfs_ + "/etc' && rm -f shadow gshadow && " + c.make).status, 0);
    RunResult r = RunWithStandIns(sb_, std::string(kAppID) + " exit 0", true, "timeout -s KILL 10");
    EXPECT_THAT(r.out, HasSubstr("rc=0\n")) << r.out << r.err;
    for (const std::string& w : c.warnings) EXPECT_THAT(r.out, HasSubstr(w)) << r.out;
    EXPECT_THAT(r.out, Not(::testing::ContainsRegex("run:[^\n]*zol-"))) << "nothing left behind";
    EXPECT_EQ(Sh("cmp -n 1048576 '" + scratch + "' /dev/zero").status, 0) << "the device was written";
  }
  ASSERT_EQ(Sh("rm -f '" + rootfs_ + "/etc/shadow' '" + rootfs_ + "/etc/gshadow'").status, 0);
}

// Two zol-cli processes with the same pid (each pid 1 of its own pid
// namespace) share /run and the control-group tree: each keeps its own
// upper layer and its own groups.
TEST_F(RunTest, RunsWithTheSamePidNeverShareTheirLayerOrGroups) {
  ZOL_REQUIRE_TOOL("unshare");
  ASSERT_EQ(Sh("mkdir -p '" + files_ + "/rootfs-overlay/etc'").status, 0);
  Spit(files_ + "/rootfs-overlay/etc/motd", "from the app\n");
  WriteManifest("/bin/sh");
  const std::string before = Sh("ls /run /sys/fs/cgroup/pids /sys/fs/cgroup/memory /sys/fs/cgroup/cpu | grep -E '^zol-1(-[0-9]+)?$'").out;
  RunResult r = Script(
      "rm -f \"$FILES\"/ready* \"$FILES\"/go*\n"
      "unshare -pf \"$ZOL\" run com.calderim.probe -c 'echo A > /etc/owner; grep :pids: /proc/self/cgroup > /app/cgA; "
      "touch /app/readyA; while [ ! -f /app/goA ]; do sleep 0.05; done; echo owner=$(cat /etc/owner)' > \"$OUT.A\" 2>&1 &\n"
      "PA=$!\n"
      "i=0; while [ ! -f \"$FILES/readyA\" ]; do i=$((i+1)); [ $i -gt 1000 ] && break; sleep 0.01; done\n"
      "unshare -pf \"$ZOL\" run com.calderim.probe -c 'echo B > /etc/owner; grep :pids: /proc/self/cgroup > /app/cgB; "
      "echo owner=$(cat /etc/owner)' > \"$OUT.B\" 2>&1; echo rcB=$?\n"
      "touch \"$FILES/goA\"; wait $PA; echo rcA=$?\n"
      "echo A:; cat \"$OUT.A\"; echo B:; cat \"$OUT.B\"\n");
  ExpectOutHas(r, {"rcB=0\n", "rcA=0\n", "A:\nowner=A\nB:\nowner=B\n"});
  const std::string cg_a = Slurp(files_ + "/cgA"), cg_b = Slurp(files_ + "/cgB");
  EXPECT_THAT(cg_a, HasSubstr(":pids:/zol-1"));
  EXPECT_THAT(cg_b, HasSubstr(":pids:/zol-1"));
  EXPECT_NE(cg_a, cg_b);
  EXPECT_EQ(Sh("ls /run /sys/fs/cgroup/pids /sys/fs/cgroup/memory /sys/fs/cgroup/cpu | grep -E '^zol-1(-[0-9]+)?$'").out, before);
}

// Layer paths of about 2,000 characters each: written out, the overlay's
// options would pass the page that the kernel takes.
TEST_F(RunTest, LongDirectoriesStillGiveAWritableRoot) {
  std::string deep = sb_.root;
  for (int i = 0; i < 9; ++i) deep += "/" + std::string(220, static_cast<char>('a' + i));
  ASSERT_GT(deep.size(), 2000u);
  ASSERT_EQ(Sh("mkdir -p '" + deep + "' && mv '" + sb_.app_dir + "' '" + deep + "/apps' && mv '" + sb_.runtime_dir +
               "' '" + deep + "/rt'")
                .status,
            0);
  install_ = deep + "/apps/" + kAppID + "/1.0";
  files_ = install_ + "/files";
  WriteDB();
  ASSERT_EQ(Sh("mkdir -p '" + files_ + "/rootfs-overlay/etc'").status, 0);
  Spit(files_ + "/rootfs-overlay/etc/motd", "from the app\n");
  WriteManifest("/bin/sh");
  RunResult r = Run({"run", kAppID, "-c", "echo written > /etc/new && cat /etc/new /etc/motd"},
                    {{"DRAV_APP_DIR", deep + "/apps"}, {"DRAV_RUNTIME_DIR", deep + "/rt"}});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "written\nfrom the app\n") << r.err;
  EXPECT_FALSE(PathExists(deep + "/rt/busybox-x86_64/rootfs/etc/new"));
}

// The application has ended and the teardown is removing a large upper
// layer when SIGTERM comes: the run fails as a signalled one.
TEST_F(RunTest, SignalDuringTheTeardownFailsTheRun) {
  ASSERT_EQ(Sh("mkdir -p '" + files_ + "/rootfs-overlay/etc'").status, 0);
  Spit(files_ + "/rootfs-overlay/etc/motd", "from the app\n");
  WriteManifest("/bin/sh");
  RunResult r = Script(
      "rm -f \"$FILES/done\"\n"
      "\"$ZOL\" run com.calderim.probe -c 'mkdir /var/big && i=0 && while [ $i -lt 30000 ]; do : > /var/big/f$i; "
      "i=$((i+1)); done; touch /app/done' > \"$OUT\" 2>&1 &\n"
      "Z=$!\n"
      "i=0; while [ ! -f \"$FILES/done\" ]; do i=$((i+1)); [ $i -gt 6000 ] && break; sleep 0.01; done\n"
      "sleep 0.05; kill -TERM $Z; wait $Z; echo rc=$?; echo Z=$Z\n");
  EXPECT_THAT(r.out, HasSubstr("rc=1\n")) << r.out << Slurp(sb_.root + "/out");
  EXPECT_THAT(Slurp(sb_.root + "/out"), HasSubstr("[FATAL] failed to run app: exit status -1\n"));
  EXPECT_EQ(AuditEvents().back(), "RUNTIME_DESTROY exit=1");
  ExpectNothingLeft(Vars(r.out)["Z"]);
}

TEST_F(RunTest, HostRoadRewritesOnlyAWholeLeadingApp) {
  ASSERT_EQ(Sh("cp '" + files_ + "/bin/probe' '" + files_ + "/bin/app'").status, 0);
  WriteManifest("/app/bin/app", "[]", "/opt/apple/lib:/app/lib");
  RunResult r = Run({"run", "--no-sandbox", kAppID, "env"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(Lines(r.out), ::testing::Contains("PYTHONPATH=/opt/apple/lib:" + files_ + "/lib"));
}

// Under a pseudo-terminal the application's group holds the terminal for the
// run, so a program that reads it gets its input; afterwards the caller's
// group has it again. TERM passes; nothing else of the caller's environment.
TEST_F(RunTest, AnApplicationThatReadsItsTerminal) {
  ZOL_REQUIRE_TOOL("script");
  WriteManifest("/bin/sh");
  RunResult r = Script(
      "printf 'hello\\n' > \"$OUT.in\"\n"
      "timeout -s KILL 20 script -qec 'TERM=xterm-zol CALLER_ONLY=1 \"$ZOL\" run com.calderim.probe -c "
      "\"read x; echo got \\$x; /app/bin/probe env\"; echo rc=$?; "
      "set -- $(cat /proc/$$/stat); echo fg=$8 pgrp=$5' /dev/null < \"$OUT.in\"\n"
      "echo script=$?\n");
  ExpectOutHas(r, {"got hello", "rc=0", "TERM=xterm-zol"});
  EXPECT_THAT(r.out, Not(HasSubstr("CALLER_ONLY"))) << r.out;
  EXPECT_THAT(r.out, Not(HasSubstr("HOME="))) << r.out;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.out, m, std::regex("fg=([0-9]+) pgrp=([0-9]+)"))) << r.out;
  EXPECT_EQ(m[1], m[2]) << "the terminal went back to the caller's group";
}

// Ctrl-Z stops the application, which holds the terminal: zol-cli stops with
// it, as a shell's job does, and once continued gives the terminal back and
// continues the application, instead of waiting for ever on a stopped one.
TEST_F(RunTest, AStoppedApplicationStopsTheRunUntilItIsContinued) {
  ZOL_REQUIRE_TOOL("script");
  WriteManifest("/bin/sh");
  RunResult r = Script(
      "rm -f \"$OUT.pid\"\n"
      "timeout -s KILL 20 script -qec '\"$ZOL\" run com.calderim.probe -c \"kill -TSTP \\$\\$; echo resumed\" "
      "< /dev/tty & echo $! > \"$OUT.pid\"; wait $!; echo rc=$?' /dev/null > \"$OUT.s\" 2>&1 &\n"
      "S=$!\n"
      "i=0; while [ $i -lt 500 ]; do\n"
      "  P=$(cat \"$OUT.pid\" 2>/dev/null)\n"
      "  [ -n \"$P\" ] && grep -q '^State:.*T' /proc/$P/status 2>/dev/null && echo zol-stopped && break\n"
      "  i=$((i+1)); sleep 0.02\n"
      "done\n"
      "kill -CONT $P\n"
      "wait $S; cat \"$OUT.s\"\n");
  ExpectOutHas(r, {"zol-stopped", "resumed", "rc=0"});
}

// A run holds its installed tree and its base layer: while it runs, every
// command that would delete what the application sees is refused, names the
// run that holds it, and leaves the files alone. Once the run has ended the
// same commands go through.
TEST_F(RunTest, CommandsThatWouldDeleteWhatARunSeesWaitForItsEnd) {
  const std::string pkgs = sb_.Path("pkgs");
  ASSERT_EQ(Sh("mkdir -p " + Q(pkgs)).status, 0);
  AppFields spec;
  spec.id = kAppID;
  spec.name = "probe";
  spec.base = "busybox";
  spec.command = "/app/bin/probe";
  ASSERT_TRUE(MakePackage(pkgs + "/probe.zol", AppManifestJSON(spec), {{"bin/probe", "#!/bin/sh\n"}}));
  ASSERT_TRUE(MakeBasePackage(pkgs + "/base.zol", "busybox", "x86_64", "2.0", rootfs_));
  const char* kCommands[] = {"uninstall base.busybox-x86_64", "install $PKGS/base.zol", "install $PKGS/probe.zol",
                             "upgrade $PKGS/probe.zol", "uninstall com.calderim.probe"};
  std::string script = StartWaiting();
  int n = 0;
  for (const char* c : kCommands) {
    script += "\"$ZOL\" " + std::string(c) + " >/dev/null 2>\"$OUT." + std::to_string(n++) + "\"; echo \"rc=$?\"\n";
  }
  script += "kill -0 $A && echo alive\n"
            "cmp \"$FILES/bin/probe\" \"$PROBE\" && [ -x \"$ROOTFS/bin/busybox\" ] && echo intact\n"
            "kill -TERM $Z; wait $Z\n";
  RunResult r = Script(script, {{"PKGS", pkgs}, {"PROBE", ZOL_PROBE}});
  const std::string z = Vars(r.out)["Z"];
  ASSERT_FALSE(z.empty()) << r.out << r.err;
  EXPECT_THAT(r.out, HasSubstr("alive\nintact\n")) << r.out;
  const std::string held_by = " is in use by a running application (pid " + z + ": " + ZolBin() +
                              " run com.calderim.probe wait /app/ready /app/mark /app/gpid)\n"
                              "  Tip: end that run, then run this command again\n";
  const std::string want[] = {"[FATAL] uninstall failed: base layer busybox-x86_64" + held_by,
                              "[FATAL] install failed: base layer busybox-x86_64" + held_by,
                              "[FATAL] install failed: com.calderim.probe 1.0" + held_by,
                              "[FATAL] upgrade failed: com.calderim.probe 1.0" + held_by,
                              "[FATAL] uninstall failed: com.calderim.probe 1.0" + held_by};
  for (int i = 0; i < n; ++i) {
    SCOPED_TRACE(kCommands[i]);
    const std::string err = Slurp(sb_.root + "/out." + std::to_string(i));
    EXPECT_THAT(err, HasSubstr(want[i])) << err;
  }
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n') - 1, n + 2) << r.out;
  EXPECT_THAT(r.out, Not(HasSubstr("rc=0"))) << r.out;

  for (const char* c : {"install", "upgrade"}) {
    RunResult after = sb_.Zol({c, pkgs + "/probe.zol"});
    EXPECT_EQ(after.status, 0) << c << ": " << after.err;
  }
  RunResult base = sb_.Zol({"install", pkgs + "/base.zol"});
  EXPECT_EQ(base.status, 0) << base.err;
  RunResult gone = sb_.Zol({"uninstall", "base.busybox-x86_64"});
  EXPECT_EQ(gone.status, 0) << gone.err;
}

// A record whose tree is gone (an uninstall killed after setting the tree
// aside) is named as such, with the command that finishes the removal.
TEST_F(RunTest, RecordOverAMissingTreeNamesTheRemedy) {
  ASSERT_EQ(::rename(install_.c_str(), (install_ + ".removing-abcdef").c_str()), 0);
  const std::string why = std::string("app ") + kAppID + " is recorded at " + install_ +
                          ", but that directory is gone (an uninstall may have been interrupted)\n"
                          "  Tip: finish the removal with: zol-cli uninstall " + kAppID + "\n";
  struct Case {
    std::vector<std::string> args;
    std::string prefix;
  };
  for (const Case& c : {Case{{"run", kAppID}, "[FATAL] failed to create runtime: "},
                        Case{{"run", "--no-sandbox", kAppID}, "[FATAL] failed to create runtime: "},
                        Case{{"info", kAppID}, "[FATAL] info failed: "}}) {
    RunResult r = Run(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr(c.prefix + why)) << r.err;
  }
  RunResult r = Run({"uninstall", kAppID});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(PathExists(install_ + ".removing-abcdef"));
  EXPECT_EQ(Run({"info", kAppID}).err, std::string("[FATAL] info failed: app ") + kAppID + " not installed\n");
}

}  // namespace
}  // namespace e2e
