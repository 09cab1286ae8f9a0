#include "internal/runtime/runtime.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include <gtest/gtest.h>

#include "internal/util/tempdir.h"

namespace runtime {
namespace {

TEST(ValidateExecutablePath, Rules) {
  struct Case {
    std::string path;
    std::string error;  // empty: accepted
  };
  const Case cases[] = {
      {"/app/bin/tool", ""},
      {"/app/../bin/sh", ""},
      {"/opt/a..b/tool", "invalid executable path: /opt/a..b/tool"},
      {"../tool", "invalid executable path: ../tool"},
      {"bin/tool", "relative executable path is not allowed: bin/tool"},
      {"/app/bin/tool;x", "invalid executable path: /app/bin/tool;x"},
      {"/app/$HOME", "invalid executable path: /app/$HOME"},
      {"/app/a\nb", "invalid executable path: /app/a\nb"},
      {"", "no entry command in manifest"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    util::Error err = ValidateExecutablePath(c.path);
    EXPECT_EQ(err.message(), c.error);
  }
}

TEST(ValidateCommandArg, Rules) {
  for (const std::string& ok : std::vector<std::string>{"..", "../x", "", "-x", "/app/data", "a b"}) {
    EXPECT_TRUE(ValidateCommandArg(ok).ok()) << ok;
  }
  for (const std::string& bad : std::vector<std::string>{"a;b", std::string("a\0b", 3), "x|y", "`id`", "$x", "a\rb"}) {
    EXPECT_EQ(ValidateCommandArg(bad).message(), "invalid command argument: " + bad);
  }
}

TEST(RewriteAppPath, OnlyWholeLeadingComponents) {
  const std::string f = "/opt/zol/apps/x/1.0/files";
  struct Case {
    const char* value;
    std::string want;
  };
  const Case cases[] = {
      {"/app/bin:/usr/bin", f + "/bin:/usr/bin"},
      {"/opt/apple/lib:/app/lib", "/opt/apple/lib:" + f + "/lib"},
      {"/app/bin/app", f + "/bin/app"},
      {"/app", f},
      {"/app:/app/", f + ":" + f + "/"},
      {"/apple/x", "/apple/x"},
      {"/opt/app/bin", "/opt/app/bin"},
      {"x/app:/appx", "x/app:/appx"},
      {"", ""},
      {"::/app", "::" + f},
  };
  for (const Case& c : cases) EXPECT_EQ(RewriteAppPath(c.value, f), c.want) << c.value;
}

TEST(MergeEnv, LastEntryOfANameWinsInTheOrderOfLastEntries) {
  EXPECT_EQ(MergeEnv({"PATH=/usr/bin", "HOME=/root", "A=1"}, {"PATH=/x/bin", "A=2", "B=3"}),
            (std::vector<std::string>{"HOME=/root", "PATH=/x/bin", "A=2", "B=3"}));
  EXPECT_EQ(MergeEnv({"X=1", "X=2"}, {}), (std::vector<std::string>{"X=2"}));
}

TEST(RunExitCode, Table) {
  std::optional<int> none;
  EXPECT_EQ(RunExitCode(util::Error(), none), 0);
  EXPECT_EQ(RunExitCode(util::Error::Msg("exit status 3"), none), 1);  // sandbox
  EXPECT_EQ(RunExitCode(util::Error::Msg("exit status 3"), std::optional<int>(3 << 8)), 3);
  EXPECT_EQ(RunExitCode(util::Error::Msg("signal: killed"), std::optional<int>(SIGKILL)), -1);
}

TEST(RunValidatedCommand, HostOutcomes) {
  std::optional<int> status;
  util::Error err = RunValidatedCommand("/bin/sh", {"-c", "exit 3"}, {}, &status);
  EXPECT_EQ(err.message(), "exit status 3");
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(RunExitCode(err, status), 3);

  // "$" is refused in arguments, so the scripts that need it are files.
  auto tmp = util::TempDir::Make("zol-host-test-");
  ASSERT_TRUE(tmp.ok());
  auto script = [&](const std::string& name, const std::string& body) {
    std::string path = tmp->path() + "/" + name;
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    ::chmod(path.c_str(), 0755);
    return path;
  };
  status.reset();
  err = RunValidatedCommand(script("selfkill", "kill -KILL $$"), {}, {}, &status);
  EXPECT_EQ(err.message(), "signal: killed");
  EXPECT_EQ(RunExitCode(err, status), -1);

  status.reset();
  err = RunValidatedCommand("/no/such/program", {}, {}, &status);
  EXPECT_EQ(err.message(), "fork/exec /no/such/program: no such file or directory");
  EXPECT_FALSE(status.has_value());

  // A refused argument starts nothing.
  err = RunValidatedCommand("/bin/sh", {"-c", "touch /tmp/never;x"}, {}, &status);
  EXPECT_EQ(err.message(), "invalid command argument: touch /tmp/never;x");

  // The application's entries override the runtime's own.
  ::setenv("ZOL_T", "a", 1);
  EXPECT_TRUE(RunValidatedCommand(script("envcheck", "[ \"$ZOL_T\" = b ]"), {}, {"ZOL_T=b"}, &status).ok());
  ::unsetenv("ZOL_T");
}

TEST(AppRuntime, BuildEnvLeavesOutEmptyValuesAndOtherKeys) {
  pkgfmt::Manifest m;
  m.ID = "com.calderim.tool";
  m.Version = "1.0";
  m.Base = "ubuntu24.04";
  m.Runtime.Env = std::map<std::string, std::string>{{"PATH", "/app/bin:/usr/bin"}, {"OTHER", "x"}, {"LD_LIBRARY_PATH", ""}};
  AppRuntime rt("com.calderim.tool", false, std::make_unique<config::Settings>(), db::InstalledApp{}, m);
  std::vector<std::string> env = rt.BuildEnv();
  std::sort(env.begin(), env.end());
  EXPECT_EQ(env, (std::vector<std::string>{"DRAV_APP_ID=com.calderim.tool", "DRAV_APP_VERSION=1.0",
                                           "DRAV_RUNTIME_BASE=ubuntu24.04", "PATH=/app/bin:/usr/bin"}));
  EXPECT_EQ(rt.RuntimeID(), "com.calderim.tool-" + std::to_string(::getpid()));
}

}  // namespace
}  // namespace runtime
