// The dispatcher as a user meets it: usage, unknown words, version, the root
// rule on the real user id, "[FATAL] " lines, the log and audit sinks.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>

#include "tests/harness.h"
#include "internal/testing/require.h"

namespace e2e {
namespace {

const char* const kUsage =
    "Calderim Application Runtime Environment (DRAV)\n"
    "\n"
    "Usage:\n"
    "  zol-cli <command> [options]\n"
    "\n"
    "Commands:\n"
    "  version              Show version information\n"
    "  install <package>    Install a .zol package  [requires root]\n"
    "  uninstall <appid>    Uninstall an application [requires root]\n"
    "  upgrade <package>    Upgrade an application   [requires root]\n"
    "  list                 List installed applications\n"
    "  info <appid>         Show application information\n"
    "  run [--no-sandbox] <appid>  Run an application  [requires root]\n"
    "  build                Build a .zol package       [requires root]\n"
    "  keygen [--dir <dir>] Generate an Ed25519 signing key pair\n"
    "  sign   --key <key> <pkg.zol>  Sign a .zol package\n"
    "  verify [--trusted-keys <dir>] <pkg.zol>  Verify package signature\n";

enum class As {
  kRoot,
  kNobody,     // real and effective uid 65534
  kRuidOnly,   // real uid 65534, effective uid 0: a set-user-id wrapper
};

struct Case {
  std::vector<std::string> args;
  As as;
  std::string out, err;
  int status;
};

std::string RootLines(const std::string& word) {
  return "Error: this operation requires root privileges.\n  Try: sudo zol-cli " + word + "\n";
}

RunResult RunAs(const Sandbox& sb, const Case& c) {
  std::vector<std::string> argv;
  if (c.as == As::kNobody) argv = {"/usr/bin/setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups"};
  if (c.as == As::kRuidOnly) argv = {"/usr/bin/setpriv", "--ruid", "65534", "--euid", "0"};
  argv.push_back(ZolBin());
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  // No chattr on PATH: its warning for an unprivileged user would be noise
  // here; the marking has tests of its own below.
  return RunArgv(argv, sb.Env({{"PATH", "/nonexistent"}}), "", "/");
}

// Lets the unprivileged user reach and write the sandbox's log and audit
// directories, so that only the dispatcher's own output is seen.
void OpenSandboxToNobody(const Sandbox& sb) {
  ASSERT_EQ(::chmod(sb.root.c_str(), 0711), 0);
  for (const std::string& dir : {sb.log_dir, sb.audit_dir}) {
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(::chown(dir.c_str(), 65534, 65534), 0);
  }
}

TEST(Dispatch, WordsUsageVersionAndTheRootRule) {
  ZOL_REQUIRE(::geteuid() == 0, "switching users needs root");
  std::vector<Case> cases = {
      {{}, As::kRoot, kUsage, "", 1},
      {{"version"}, As::kRoot, "zol-cli version " ZOL_PROJECT_VERSION "\n", "", 0},
      {{"version", "--x", "extra"}, As::kNobody, "zol-cli version " ZOL_PROJECT_VERSION "\n", "", 0},
      {{"version", "extra"}, As::kRuidOnly, "zol-cli version " ZOL_PROJECT_VERSION "\n", "", 0},
      {{}, As::kNobody, kUsage, "", 1},
  };
  for (const char* word : {"help", "-h", "--help", "Install", "", "versions", "ver"}) {
    cases.push_back({{word, "x"}, As::kRoot, kUsage, std::string("Error: unknown command: ") + word + "\n\n", 1});
  }
  cases.push_back({{"Install"}, As::kNobody, kUsage, "Error: unknown command: Install\n\n", 1});
  // Refused before the front end looks at its arguments: "install" with no
  // package gives the root lines, not a missing-package message.
  for (const char* word : {"install", "uninstall", "upgrade", "run", "build", "sign"}) {
    for (As as : {As::kNobody, As::kRuidOnly}) {
      cases.push_back({{word}, as, "", RootLines(word), 1});
      cases.push_back({{word, "--no-such-flag", "pkg.zol"}, as, "", RootLines(word), 1});
    }
  }

  for (const auto& c : cases) {
    Sandbox sb;
    OpenSandboxToNobody(sb);
    RunResult r = RunAs(sb, c);
    std::string label = ::testing::PrintToString(c.args) + " as " + std::to_string(static_cast<int>(c.as));
    EXPECT_EQ(r.out, c.out) << label;
    EXPECT_EQ(r.err, c.err) << label;
    EXPECT_EQ(r.status, c.status) << label;
  }
}

TEST(Dispatch, FlagFailuresAndFatalLines) {
  ZOL_REQUIRE(::geteuid() == 0, "switching users needs root");
  Sandbox sb;
  OpenSandboxToNobody(sb);
  const std::string keygen_usage =
      "Usage of keygen:\n"
      "  -dir string\n"
      "    \tDirectory to write key pair (default \"" + sb.home + "/.zol/keys\")\n";
  const std::string sign_usage =
      "Usage of sign:\n"
      "  -key string\n"
      "    \tPath to private key (.key PEM file)\n";
  const std::string run_usage = "Usage: zol-cli run [--no-sandbox] <appid> [command]\n";
  const std::vector<Case> cases = {
      {{"keygen", "-x"}, As::kNobody, "",
       "flag provided but not defined: -x\n" + keygen_usage +
           "[FATAL] parse keygen flags: flag provided but not defined: -x\n",
       1},
      {{"keygen", "--dir"}, As::kRoot, "",
       "flag needs an argument: -dir\n" + keygen_usage + "[FATAL] parse keygen flags: flag needs an argument: -dir\n",
       1},
      {{"keygen", "---dir=x"}, As::kRoot, "",
       "bad flag syntax: ---dir=x\n" + keygen_usage + "[FATAL] parse keygen flags: bad flag syntax: ---dir=x\n", 1},
      {{"keygen", "-h"}, As::kRoot, "", keygen_usage + "[FATAL] parse keygen flags: flag: help requested\n", 1},
      {{"sign", "--help"}, As::kRoot, "", sign_usage + "[FATAL] parse sign flags: flag: help requested\n", 1},
      // Flags end at the package path, so the key is never seen.
      {{"sign", "pkg.zol", "--key", "k"}, As::kRoot, "", "[FATAL] --key is required\n", 1},
      {{"sign", "--key", "k"}, As::kRoot, "", "[FATAL] package path required\n", 1},
      // "run" has its own usage printer, on standard output.
      {{"run", "-h"}, As::kRoot, run_usage, "[FATAL] parse run flags: flag: help requested\n", 1},
      {{"run", "--no-sandbox=maybe", "app"}, As::kRoot, run_usage,
       "invalid boolean value \"maybe\" for -no-sandbox: parse error\n"
       "[FATAL] parse run flags: invalid boolean value \"maybe\" for -no-sandbox: parse error\n",
       1},
      {{"verify", "-x"}, As::kNobody, "",
       "flag provided but not defined: -x\nUsage of verify:\n  -trusted-keys string\n"
       "    \tDirectory of trusted public keys (optional)\n"
       "[FATAL] parse verify flags: flag provided but not defined: -x\n",
       1},
  };
  for (const auto& c : cases) {
    RunResult r = RunAs(sb, c);
    std::string label = ::testing::PrintToString(c.args);
    EXPECT_EQ(r.out, c.out) << label;
    EXPECT_EQ(r.err, c.err) << label;
    EXPECT_EQ(r.status, c.status) << label;
  }
}

TEST(Dispatch, UnopenableSinksWarnAndTheCommandStillRuns) {
  Sandbox sb;
  const std::string file = sb.Path("plain-file");
  Spit(file, "x");
  RunResult r = sb.Zol({"version"}, {{"DRAV_LOG_DIR", file + "/log"}, {"DRAV_AUDIT_DIR", file + "/audit"}});
  EXPECT_EQ(r.out, "zol-cli version " ZOL_PROJECT_VERSION "\n");
  EXPECT_EQ(r.err,
            "Warning: could not open log file: mkdir " + file + ": not a directory\n"
            "Warning: could not open audit log: mkdir " + file + ": not a directory\n");
  EXPECT_EQ(r.status, 0);

  // Directories that exist but hold something unopenable under the names.
  Sandbox sb2;
  ASSERT_EQ(::mkdir(sb2.log_dir.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((sb2.log_dir + "/zol.log").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(sb2.audit_dir.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((sb2.audit_dir + "/audit.log").c_str(), 0755), 0);
  r = sb2.Zol({"Install"});
  EXPECT_EQ(r.out, kUsage);
  EXPECT_EQ(r.err,
            "Warning: could not open log file: open " + sb2.log_dir + "/zol.log: is a directory\n"
            "Warning: could not open audit log: open " + sb2.audit_dir + "/audit.log: is a directory\n"
            "Error: unknown command: Install\n\n");
  EXPECT_EQ(r.status, 1);
}

TEST(Dispatch, SinksAreMadeForEveryWordWithTheirModes) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"version"}, {"nope"}}) {
    Sandbox sb;
    RunResult r = RunArgv([&] {
      std::vector<std::string> v = {ZolBin()};
      v.insert(v.end(), args.begin(), args.end());
      return v;
    }(), sb.Env({{"PATH", "/nonexistent"}}));
    struct stat st;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    const struct {
      std::string path;
      mode_t mode;
    } want[] = {{sb.log_dir, 0755}, {sb.log_dir + "/zol.log", 0644}, {sb.audit_dir, 0750},
                {sb.audit_dir + "/audit.log", 0640}};
    for (const auto& w : want) {
      ASSERT_EQ(::stat(w.path.c_str(), &st), 0) << w.path;
      EXPECT_EQ(st.st_mode & 07777, w.mode & ~mask) << w.path;
    }
  }
}

// A chattr that fails and reports which descriptors it was given.
std::string FakeChattr(const Sandbox& sb) {
  std::string bin = sb.Path("fakebin");
  ::mkdir(bin.c_str(), 0755);
  Spit(bin + "/chattr",
            "#!/bin/sh\nfor f in /proc/$$/fd/*; do readlink $f; done > " + sb.Path("chattr-fds") + "\necho \"$@\" > " + sb.Path("chattr-args") +
                "\necho to-stdout; echo to-stderr >&2; exit 1\n",
            0755);
  return bin;
}

TEST(Dispatch, FailedAppendOnlyMarkingIsLoggedBothWaysAndLeaksNoDescriptor) {
  Sandbox sb;
  std::string bin = FakeChattr(sb);
  RunResult r = sb.Zol({"version"}, {{"PATH", bin + ":/usr/bin:/bin"}});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "zol-cli version " ZOL_PROJECT_VERSION "\n");
  const std::regex line(R"(\[WARN\] \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(Z|[+-]\d\d:\d\d) audit: chattr \+a )" +
                        sb.audit_dir + R"(/audit.log: exit status 1 \(append-only protection unavailable\)
)");
  EXPECT_TRUE(std::regex_match(r.err, line)) << r.err;
  EXPECT_EQ(Slurp(sb.log_dir + "/zol.log"), r.err);
  EXPECT_EQ(Slurp(sb.Path("chattr-args")), "+a " + sb.audit_dir + "/audit.log\n");
  // Neither the log nor the audit file reaches a child program.
  const std::string fds = Slurp(sb.Path("chattr-fds"));
  EXPECT_NE(fds, "");
  EXPECT_EQ(fds.find("zol.log"), std::string::npos) << fds;
  EXPECT_EQ(fds.find("audit.log"), std::string::npos) << fds;
}

TEST(Dispatch, ClosedStandardStreamsNeverLeadIntoTheSinks) {
  // Left closed, 0-2 would be the first numbers the log and audit files get:
  // standard output would go to the log and log lines to the audit trail.
  const std::regex warn_line(R"(\[WARN\] \S+ audit: chattr \+a \S+/audit.log: exit status 1 )"
                             R"(\(append-only protection unavailable\)
)");
  for (const char* closing : {"<&- >&- 2>&-", ">&- 2>&-", "2>&-"}) {
    Sandbox sb;
    std::string bin = FakeChattr(sb);
    RunResult r = RunArgv({"/bin/sh", "-c", std::string("exec \"$0\" version ") + closing, ZolBin()},
                          sb.Env({{"PATH", bin + ":/usr/bin:/bin"}}));
    EXPECT_EQ(r.status, 0) << closing;
    const std::string log = Slurp(sb.log_dir + "/zol.log");
    EXPECT_TRUE(std::regex_match(log, warn_line)) << closing << "\n" << log;
    EXPECT_EQ(Slurp(sb.audit_dir + "/audit.log"), "") << closing;
  }
}

TEST(Dispatch, StandardErrorWithNoReaderIsIgnored) {
  // fd 4 is a pipe whose only reader is gone, so every write to it fails;
  // the log line must still reach the file and the command finish normally.
  Sandbox sb;
  std::string bin = FakeChattr(sb);
  RunResult r = RunArgv({"/bin/sh", "-c",
                         "mkfifo \"$1\" && exec 3<>\"$1\" 4>\"$1\" 3<&- && exec \"$0\" version 2>&4 4>&-",
                         ZolBin(), sb.Path("fifo")},
                        sb.Env({{"PATH", bin + ":/usr/bin:/bin"}}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "zol-cli version " ZOL_PROJECT_VERSION "\n");
  EXPECT_NE(Slurp(sb.log_dir + "/zol.log").find("audit: chattr +a "), std::string::npos);
}

TEST(Dispatch, RealChattrKeepsTheAuditFileAppendOnlyAfterEveryCommand) {
  Sandbox sb;
  // Only file systems with inode flags (ext4, xfs, btrfs) can carry the mark.
  Spit(sb.Path("probe"), "");
  RunResult probe = RunArgv({"chattr", "+a", sb.Path("probe")}, sb.Env());
  ZOL_REQUIRE(probe.status == 0, std::string("no append-only attribute on this file system: ") + probe.err);
  RunArgv({"chattr", "-a", sb.Path("probe")}, sb.Env());

  const std::string audit = sb.audit_dir + "/audit.log";
  auto append_only = [&] {
    RunResult attrs = RunArgv({"lsattr", audit}, sb.Env());
    EXPECT_EQ(attrs.status, 0) << attrs.err;
    return attrs.out.substr(0, attrs.out.find(' ')).find('a') != std::string::npos;
  };
  // The first marks a new file; the later ones find the mark, or set it
  // again when it was cleared in between.
  const struct {
    std::vector<std::string> args;
    bool clear_before;
  } steps[] = {
      {{"version"}, false}, {{"list"}, false},       {{"version"}, true},
      {{"no-such-word"}, false}, {{"info", "com.calderim.none"}, true},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.args[0] + (step.clear_before ? " after clearing" : ""));
    if (step.clear_before) {
      ASSERT_EQ(RunArgv({"chattr", "-a", audit}, sb.Env()).status, 0);
      ASSERT_FALSE(append_only());
    }
    RunResult r = sb.Zol(step.args);
    EXPECT_EQ(r.err.find("chattr"), std::string::npos) << r.err;
    EXPECT_TRUE(append_only());
  }
  // The sandbox clears the attribute when it is removed.
}

}  // namespace
}  // namespace e2e
