// What a test needs from the machine it runs on (root, a tool, a kernel
// feature). Outside CI a test that cannot run here skips and says why; under
// CI (CI=true, as CI sets it) the same lack is a failure naming what is
// missing, so a machine set up short can never pass a suite that ran less of
// itself.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace testutil {

// Whether the suite runs under CI: the environment variable CI is "true".
bool UnderCI();

// Whether a program of this name is on PATH (a command -v lookup).
bool HaveTool(const std::string& name);

}  // namespace testutil

// Skips the test with `what` as its reason, or fails it under CI. Use it in
// a test body or SetUp(); like GTEST_SKIP it returns from the function.
#define ZOL_REQUIRE(cond, what)                                             \
  do {                                                                      \
    if (!(cond)) {                                                          \
      if (::testutil::UnderCI()) {                                          \
        GTEST_FAIL() << "this machine lacks what the test needs: " << what; \
      } else {                                                              \
        GTEST_SKIP() << what;                                               \
      }                                                                     \
    }                                                                       \
  } while (0)

// The tool named must be on PATH.
#define ZOL_REQUIRE_TOOL(name) ZOL_REQUIRE(::testutil::HaveTool(name), std::string(name) + " is not installed")
