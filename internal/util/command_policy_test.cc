#include "internal/util/command_policy.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "internal/testing/env.h"
#include "internal/testing/files.h"
#include "internal/util/files.h"
#include "internal/util/tempdir.h"

namespace util {
namespace {

using testutil::ScopedEnv;

void WriteScript(const std::string& path, const std::string& body, mode_t mode) {
  testutil::Spit(path, "#!/bin/sh\n" + body + "\n", mode);
}

TEST(LookPath, SearchesPathLikeExecDoes) {
  auto tmp = TempDir::Make("zol-test-");
  ASSERT_TRUE(tmp.ok());
  std::string a = tmp->path() + "/a", b = tmp->path() + "/b";
  ASSERT_TRUE(MkdirAll(a, 0755).ok());
  ASSERT_TRUE(MkdirAll(b + "/tool.d", 0755).ok());
  WriteScript(a + "/tool", "true", 0644);   // not executable: skipped
  WriteScript(b + "/tool", "true", 0755);
  WriteScript(a + "/only", "true", 0755);
  ::mkdir((a + "/dir").c_str(), 0755);  // a directory is never a program

  ScopedEnv p("PATH", (a + "::" + b).c_str());
  struct Case {
    std::string name, want, error;
  };
  const Case cases[] = {
      {"tool", b + "/tool", ""},
      {"only", a + "/only", ""},
      {"dir", "", "exec: \"dir\": executable file not found in $PATH"},
      {"missing", "", "exec: \"missing\": executable file not found in $PATH"},
      {"", "", "exec: \"\": executable file not found in $PATH"},
      {"./rel/x", "./rel/x", ""},  // a name with "/" is used as given
  };
  for (const auto& c : cases) {
    auto r = LookPath(c.name);
    if (c.error.empty()) {
      ASSERT_TRUE(r.ok()) << c.name << ": " << r.error().message();
      EXPECT_EQ(*r, c.want);
    } else {
      ASSERT_FALSE(r.ok()) << c.name;
      EXPECT_EQ(r.error().message(), c.error);
    }
  }
}

TEST(LookPath, RefusesProgramFoundThroughWorkingDirectory) {
  auto tmp = TempDir::Make("zol-test-");
  ASSERT_TRUE(tmp.ok());
  WriteScript(tmp->path() + "/here", "true", 0755);
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(tmp->path().c_str()), 0);
  ScopedEnv p("PATH", ":/nonexistent");
  auto r = LookPath("here");
  setenv("PATH", "", 1);
  auto empty = LookPath("here");
  ASSERT_EQ(chdir(cwd), 0);
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().message(), "exec: \"here\": executable file not found in $PATH");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "exec: \"here\": cannot run executable found relative to current directory");
}

}  // namespace
}  // namespace util
