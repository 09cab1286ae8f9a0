#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "internal/testing/scratch_dir.h"
#include "internal/util/process.h"

namespace util {
namespace {

// Each test's program is given a file of a fresh directory that does not
// exist yet, so what the hook did or kept from happening shows in it.
class StartProcessHook : public testutil::ScratchDirTest {
 protected:
  StartProcessHook() : ScratchDirTest("zol-hook-test-") {}
  static Command ProgramOn(const char* program, const std::string& file) {
    Command cmd;
    cmd.path = program;
    cmd.args = {file};
    return cmd;
  }
};

TEST_F(StartProcessHook, RunsWhileTheChildWaitsBeforeExec) {
  const std::string mark = Path("placed");
  Command cmd = ProgramOn("/bin/cat", mark);
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

TEST_F(StartProcessHook, AFailingHookKillsAndCollectsTheChild) {
  const std::string never = Path("never");
  Command cmd = ProgramOn("/bin/touch", never);
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
