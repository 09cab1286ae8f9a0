#include "internal/util/xz_env.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace util {
namespace {

std::vector<std::string> XzEntries(const std::vector<std::string>& env) {
  std::vector<std::string> out;
  for (const std::string& e : env) {
    if (e.rfind("XZ_OPT=", 0) == 0) out.push_back(e);
  }
  return out;
}

TEST(ParallelXzEnviron, OursFirstThenTheCallersAndTheRestKept) {
  const char* saved = std::getenv("XZ_OPT");
  const std::string restore = saved != nullptr ? saved : "";
  ::setenv("ZOL_XZ_ENV_TEST", "kept", 1);
  const struct {
    const char* own;  // nullptr: unset
    std::string want;
  } cases[] = {
      {nullptr, "XZ_OPT=-T0 --block-size=8MiB"},
      {"", "XZ_OPT=-T0 --block-size=8MiB"},
      {"-9e -T2", "XZ_OPT=-T0 --block-size=8MiB -9e -T2"},
  };
  for (const auto& c : cases) {
    if (c.own == nullptr) {
      ::unsetenv("XZ_OPT");
    } else {
      ::setenv("XZ_OPT", c.own, 1);
    }
    std::vector<std::string> env = ParallelXzEnviron();
    EXPECT_EQ(XzEntries(env), std::vector<std::string>{c.want});
    EXPECT_EQ(std::count(env.begin(), env.end(), "ZOL_XZ_ENV_TEST=kept"), 1);
  }
  ::unsetenv("ZOL_XZ_ENV_TEST");
  if (saved != nullptr) {
    ::setenv("XZ_OPT", restore.c_str(), 1);
  } else {
    ::unsetenv("XZ_OPT");
  }
}

}  // namespace
}  // namespace util
