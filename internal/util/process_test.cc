#include "internal/util/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "internal/testing/env.h"
#include "internal/util/files.h"
#include "internal/util/tempdir.h"

namespace util {
namespace {

using testutil::ScopedEnv;

void WriteScript(const std::string& path, const std::string& body, mode_t mode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  ASSERT_GE(fd, 0);
  std::string text = "#!/bin/sh\n" + body + "\n";
  ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::fchmod(fd, mode);
  ::close(fd);
}

TEST(RunProcess, ReportsHowTheChildEnded) {
  struct Case {
    std::vector<std::string> args;
    std::string error;  // empty: success
  };
  const Case cases[] = {
      {{"-c", "exit 0"}, ""},
      {{"-c", "exit 3"}, "exit status 3"},
      {{"-c", "kill -KILL $$"}, "signal: killed"},
      {{"-c", "kill -TERM $$"}, "signal: terminated"},
  };
  for (const auto& c : cases) {
    Command cmd;
    cmd.path = "/bin/sh";
    cmd.args = c.args;
    Error err = RunProcess(cmd);
    EXPECT_EQ(err.message(), c.error) << c.args[1];
  }
}

TEST(RunProcess, ExecFailureIsReportedByTheParent) {
  auto tmp = TempDir::Make("zol-test-");
  ASSERT_TRUE(tmp.ok());
  std::string noexec = tmp->path() + "/noexec";
  WriteScript(noexec, "true", 0644);
  std::string garbage = tmp->path() + "/garbage";
  WriteScript(garbage, "", 0755);
  // Without a "#!" line exec fails with ENOEXEC; there is no shell fallback.
  ASSERT_EQ(truncate(garbage.c_str(), 0), 0);

  struct Case {
    Command cmd;
    std::string error;
  };
  Command missing;
  missing.path = tmp->path() + "/missing";
  Command denied;
  denied.path = noexec;
  Command empty_file;
  empty_file.path = garbage;
  Command bad_dir;
  bad_dir.path = "/bin/true";
  bad_dir.dir = tmp->path() + "/nodir";
  Command not_found;
  not_found.path = "zol-no-such-program";
  Command nul_arg;
  nul_arg.path = "/bin/true";
  nul_arg.args = {std::string("a\0b", 3)};
  Command nul_env;
  nul_env.path = "/bin/true";
  nul_env.env = std::vector<std::string>{std::string("PATH=/bin\0x", 11)};
  const Case cases[] = {
      {missing, "fork/exec " + missing.path + ": no such file or directory"},
      {denied, "fork/exec " + noexec + ": permission denied"},
      {empty_file, "fork/exec " + garbage + ": exec format error"},
      {bad_dir, "fork/exec /bin/true: no such file or directory"},
      {not_found, "exec: \"zol-no-such-program\": executable file not found in $PATH"},
      {nul_arg, "fork/exec /bin/true: invalid argument"},
      {nul_env, "fork/exec /bin/true: invalid argument"},
  };
  for (const auto& c : cases) {
    auto pid = StartProcess(c.cmd);
    ASSERT_FALSE(pid.ok()) << c.cmd.path;
    EXPECT_EQ(pid.error().message(), c.error);
  }
}

TEST(RunProcess, ChildGetsOnlyStandardDescriptors) {
  // A descriptor the parent left inheritable (no close-on-exec) must still
  // not reach the child: packages' scripts must not write to our files.
  int leaked = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(leaked, 3);
  Command cmd;
  cmd.path = "/bin/sh";
  cmd.args = {"-c", "ls /proc/self/fd"};
  auto out = RunProcessOutput(cmd);
  ::close(leaked);
  ASSERT_TRUE(out.ok()) << out.error().message();
  // 0, 1, 2 and the descriptor ls itself opens to read the directory.
  EXPECT_EQ(*out, "0\n1\n2\n3\n");
}

TEST(RunProcess, ArgumentsEnvironmentDirectoryAndStreams) {
  auto tmp = TempDir::Make("zol-test-");
  ASSERT_TRUE(tmp.ok());
  Command cmd;
  cmd.path = "sh";  // found on PATH; argv[0] stays as given
  cmd.args = {"-c", "head -c 3 /proc/$$/cmdline | tr '\\0' '|'; printf '%s|' \"$1\" \"$ZOL_X\" \"$(pwd)\"; read l || echo eof",
              "zero", "a b;$c"};
  cmd.env = std::vector<std::string>{"ZOL_X=y", "PATH=/usr/bin:/bin"};
  cmd.dir = tmp->path();
  cmd.stdin_mode = Stdio::kNull;
  auto out = RunProcessOutput(cmd);
  ASSERT_TRUE(out.ok()) << out.error().message();
  EXPECT_EQ(*out, "sh|a b;$c|y|" + tmp->path() + "|eof\n");

  Command fail;
  fail.path = "/bin/sh";
  fail.args = {"-c", "echo partial; exit 2"};
  auto r = RunProcessOutput(fail);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "exit status 2");
}

TEST(RunProcess, SignalMaskOfTheParentDoesNotLeak) {
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, &old), 0);
  Command cmd;
  cmd.path = "/bin/sh";
  cmd.args = {"-c", "grep SigBlk /proc/self/status"};
  auto out = RunProcessOutput(cmd);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(*out, "SigBlk:\t0000000000000000\n");
}

TEST(RunProcess, IgnoredBrokenPipeSignalOfTheParentDoesNotLeak) {
  // zol-cli ignores SIGPIPE for itself; a program it starts must still end
  // quietly on a closed pipe, as "yes | head -1" expects of "yes".
  struct sigaction ign {}, old{};
  ign.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGPIPE, &ign, &old), 0);
  Command cmd;
  cmd.path = "/bin/sh";
  cmd.args = {"-c", "grep SigIgn /proc/self/status"};
  auto out = RunProcessOutput(cmd);
  ::sigaction(SIGPIPE, &old, nullptr);
  ASSERT_TRUE(out.ok()) << out.error().message();
  const std::string hex = out->substr(out->find('\t') + 1);
  EXPECT_EQ(std::stoull(hex, nullptr, 16) & (1ULL << (SIGPIPE - 1)), 0u) << *out;
}

}  // namespace
}  // namespace util
