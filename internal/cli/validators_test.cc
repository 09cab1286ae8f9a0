#include "internal/cli/validators.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "internal/pkgfmt/names.h"
#include "internal/util/files.h"
#include "internal/util/tempdir.h"

namespace cli {
namespace {

TEST(CommandValidator, RefusesShellCharactersNulAndDotDot) {
  using namespace std::string_literals;
  // Each forbidden character is shown in the middle of an otherwise fine value.
  const std::string bad[] = {
      "a`b"s, "a$b"s, "a;b"s, "a&b"s, "a|b"s, "a>b"s, "a<b"s, "a\nb"s, "a\rb"s,
      "a\0b"s, "a..b"s, "../x"s, "x/.."s,
  };
  for (const std::string& v : bad) {
    SCOPED_TRACE(testing::PrintToString(v));
    EXPECT_EQ(validateCommandArg(v).message(), "invalid command argument: " + v);
    EXPECT_EQ(validateCommandBinary("/opt/" + v).message(), "invalid command path: /opt/" + v);
    auto cmd = newValidatedCommand("/bin/true", {"ok", v});
    ASSERT_FALSE(cmd.ok());
    EXPECT_EQ(cmd.error().message(), "invalid command argument: " + v);
  }
  const std::string good[] = {"", "-x", "--flag=value", "/opt/a.b/c", "a b", "100%", "'q'", "x.y"};
  for (const std::string& v : good) {
    SCOPED_TRACE(v);
    EXPECT_TRUE(validateCommandArg(v).ok());
  }
  EXPECT_EQ(validateCommandBinary("").message(), "command path is empty");
  EXPECT_TRUE(validateCommandBinary("umount").ok());

  // The program is checked before the arguments.
  auto cmd = newValidatedCommand("/bin/a;b", {"c$d"});
  ASSERT_FALSE(cmd.ok());
  EXPECT_EQ(cmd.error().message(), "invalid command path: /bin/a;b");
}

TEST(DirNameRule, Table) {
  struct Case {
    const char* value;
    bool ok;
  };
  const Case cases[] = {
      {"ubuntu24.04", true}, {"org.example.app", true}, {"1.0.0-rc1", true}, {"..a", false},
      {"", false},           {".", false},              {"a/b", false},      {"a\\b", false},
      {"x..y", false},       {"..", false},             {"/", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(pkgfmt::ValidDirName(c.value), c.ok);
  }
}

class PreparedCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    auto d = util::TempDir::Make("zol-cmd-test-");
    ASSERT_TRUE(d.ok());
    dir_.emplace(std::move(*d));
  }
  std::optional<util::TempDir> dir_;
};

TEST_F(PreparedCommand, DefaultsAreNullInputDiscardedOutputInheritedRest) {
  auto cmd = newValidatedCommand("readlink", {"/proc/self/fd/0"});
  ASSERT_TRUE(cmd.ok());
  EXPECT_FALSE(cmd->env.has_value());
  EXPECT_TRUE(cmd->dir.empty());
  auto out = util::RunProcessOutput(*cmd);
  ASSERT_TRUE(out.ok()) << out.error().message();
  EXPECT_EQ(*out, "/dev/null\n");

  auto echo = newValidatedCommand("echo", {"should not be seen"});
  ASSERT_TRUE(echo.ok());
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  util::Error err = util::RunProcess(*echo);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(err.ok()) << err.message();
}

TEST_F(PreparedCommand, NoDescriptorAboveTwoReachesTheChild) {
  // Opened without close-on-exec on purpose: only the starter may keep it out.
  int fd = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::dup2(fd, 37), 37);
  ::close(fd);
  auto probe = [](const char* path) {
    auto cmd = newValidatedCommand("sh", {"-c", std::string("test -e ") + path});
    return util::RunProcess(*cmd);
  };
  EXPECT_TRUE(probe("/proc/self/fd/2").ok());
  EXPECT_EQ(probe("/proc/self/fd/37").message(), "exit status 1");
  ::close(37);
}

TEST_F(PreparedCommand, ScriptWithoutInterpreterLineFailsToStart) {
  std::string script = dir_->path() + "/noshebang";
  std::string marker = dir_->path() + "/ran";
  ASSERT_TRUE(util::WriteFile(script, "touch " + marker + "\n", 0755).ok());
  auto cmd = newValidatedCommand(script);
  ASSERT_TRUE(cmd.ok());
  util::Error err = util::RunProcess(*cmd);
  EXPECT_EQ(err.message(), "fork/exec " + script + ": exec format error");
  EXPECT_FALSE(util::Exists(marker));  // no shell stepped in
}

}  // namespace
}  // namespace cli
