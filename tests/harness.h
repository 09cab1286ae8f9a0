// What every end-to-end test needs: a fresh directory holding every DRAV_*
// path, TMPDIR and HOME, and a way to run the real zol-cli binary in it.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "internal/testing/files.h"

namespace e2e {

struct RunResult {
  int status = -1;  // exit status, or 128+signal
  std::string out;
  std::string err;
  // What the program (and the children it waited for) cost: processor
  // time, user and system, and the largest resident set, in KiB.
  double cpu_seconds = 0;
  long max_rss_kib = 0;
};

// Runs argv (argv[0] a path or a name on PATH) with exactly `env`, feeding
// `input` on standard input, and collects both output streams.
RunResult RunArgv(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  const std::string& input = "", const std::string& cwd = "");

// Runs a shell script for test fixtures (never for the system under test).
RunResult Sh(const std::string& script);

using testutil::Slurp;
using testutil::Spit;

// The standard output of a fixture script that must succeed.
std::string ShOut(const std::string& script);

// `s` in single quotes, for fixture scripts (s holds no single quote).
std::string Q(const std::string& s);

// Whether something, even a dangling link, is at path.
bool PathExists(const std::string& path);
// The mode of what is at path, links not followed; 0 when nothing is.
mode_t ModeOf(const std::string& path);
// Whether a directory, not a link to one, is at path.
bool IsDir(const std::string& path);

// Moves this test process, and every program it starts from now on, into a
// mount namespace of its own in which no mount propagates back to the host:
// a test that mounts, or runs removals beside mounts, can then leak none of
// them whatever fails, since they all end with the process. Each test runs in
// a process of its own.
bool EnterOwnMountNamespace();

// The lines of text without their newlines; a last line without one counts.
std::vector<std::string> Lines(const std::string& text);

// Whether each of `parts` stands in `text` where the one before it begins or
// later: what a command wrote, in the order it wrote it. The failure names
// the first part missing and shows the text.
::testing::AssertionResult InOrder(const std::string& text, const std::vector<std::string>& parts);

// The zol-cli binary under test ($ZOL_BIN, else the build tree's).
std::string ZolBin();

class Sandbox;

// How a run with stand-ins is set up.
struct StandIns {
  // /run a tmpfs, else a directory of the root file system (where /home also
  // lives, so only a mount id, not the device, tells them apart).
  bool run_on_tmpfs = true;
  std::map<std::string, std::string> env;  // added to the sandbox's environment
};

// Runs the shell text `body` ($ZOL the zol-cli binary, $S the stand-ins'
// directory) with sb's environment in a private mount namespace whose /home,
// /run, /etc/shadow, /etc/gshadow and /etc/resolv.conf are stand-ins below
// sb.root + "/standin": a sandbox run that binds, deletes or writes through
// a mount reaches only those, never the host's. The stand-in /home holds
// "user/keep" ("mine\n"); the shadow files hold "STANDIN-SHADOW-7f3a", the
// resolver "nameserver 192.0.2.53".
RunResult ShWithStandIns(const Sandbox& sb, const std::string& body, const StandIns& opts = {});

// `zol-cli ARGS` with the stand-ins: its status and both streams, as
// Sandbox::Zol gives them. Every sandboxed run of a test goes through it.
RunResult ZolWithStandIns(const Sandbox& sb, const std::vector<std::string>& args, const StandIns& opts = {});

class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  std::string root;  // everything below lives here
  std::string app_dir, runtime_dir, db_file, log_dir, audit_dir, metrics_path, tmp, home;

  // The environment zol-cli runs with: PATH plus every DRAV_* path, TMPDIR,
  // HOME, USER=root; `extra` entries ("NAME=value") replace or add.
  std::vector<std::string> Env(const std::map<std::string, std::string>& extra = {}) const;

  RunResult Zol(const std::vector<std::string>& args, const std::map<std::string, std::string>& extra = {},
                const std::string& input = "") const;

  std::string Path(const std::string& rel) const { return root + "/" + rel; }
};

}  // namespace e2e
