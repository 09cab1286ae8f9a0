#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

#include "internal/util/process.h"
#include "internal/util/tempdir.h"

namespace util {
namespace {

TEST(StartProcessHook, RunsWhileTheChildWaitsBeforeExec) {
  auto tmp = TempDir::Make("zol-hook-test-");
  ASSERT_TRUE(tmp.ok());
  const std::string mark = tmp->path() + "/placed";
  Command cmd;
  cmd.path = "/bin/cat";
  cmd.args = {mark};
  pid_t seen = 0;
  cmd.before_exec = [&](pid_t pid) {
    seen = pid;
    // Slow on purpose: a child that did not wait would find no file.
    ::usleep(50000);
    std::ofstream(mark) << "placed";
    return Error();
  };
  auto out = RunProcessOutput(cmd);
  ASSERT_TRUE(out.ok()) << out.error().message();
  EXPECT_EQ(*out, "placed");
  EXPECT_GT(seen, 0);
}

TEST(StartProcessHook, AFailingHookKillsAndCollectsTheChild) {
  auto tmp = TempDir::Make("zol-hook-test-");
  ASSERT_TRUE(tmp.ok());
  const std::string never = tmp->path() + "/never";
  Command cmd;
  cmd.path = "/bin/touch";
  cmd.args = {never};
  cmd.before_exec = [](pid_t) { return Error::Msg("no place for it"); };
  auto pid = StartProcess(cmd);
  ASSERT_FALSE(pid.ok());
  EXPECT_EQ(pid.error().message(), "no place for it");
  struct stat st;
  EXPECT_NE(::stat(never.c_str(), &st), 0);
  // Nothing is left to collect.
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
}

}  // namespace
}  // namespace util
