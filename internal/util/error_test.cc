#include "internal/util/error.h"

#include <cerrno>
#include <memory>
#include <string>

#include <gtest/gtest.h>

namespace util {
namespace {

Result<std::unique_ptr<int>> Make(bool fail) {
  if (fail) return Error::Errno("open", "/x", ENOENT);
  return std::make_unique<int>(7);
}

Result<int> Twice(bool fail) {
  ZOL_ASSIGN_OR_RETURN(auto p, Make(fail));
  return *p * 2;
}

Result<int> TwiceWithContext(bool fail) {
  int v = 0;
  ZOL_ASSIGN_OR_RETURN(std::unique_ptr<int> p, Make(fail), "load");
  v = *p;
  return v * 2;
}

Error Step(bool fail) {
  ZOL_TRY(fail ? Error::Errno("rename", "/a /b", EXDEV) : Error(), "commit");
  ZOL_TRY(Error());
  return Error();
}

TEST(ErrorMacros, PropagateWithOptionalContextAndKeepTheCause) {
  EXPECT_EQ(*Twice(false), 14);
  EXPECT_EQ(Twice(true).error().message(), "open /x: no such file or directory");
  EXPECT_EQ(*TwiceWithContext(false), 14);
  Error e = TwiceWithContext(true).error();
  EXPECT_EQ(e.message(), "load: open /x: no such file or directory");
  EXPECT_TRUE(e.Is(ENOENT));
  EXPECT_TRUE(Step(false).ok());
  EXPECT_EQ(Step(true).message(), "commit: rename /a /b: invalid cross-device link");
  EXPECT_TRUE(Step(true).Is(EXDEV));
}

TEST(ErrorErrno, NamesOperationAndPathOrGivesTheBareReason) {
  struct Case {
    Error err;
    std::string want;
  };
  const Case cases[] = {
      {Error::Errno("mkdir", "/a b", EEXIST), "mkdir /a b: file exists"},
      // An empty path is still a path: the blank before it stays.
      {Error::Errno("mkdir", "", ENOENT), "mkdir : no such file or directory"},
      {Error::Errno("open", "", ENOENT), "open : no such file or directory"},
      {Error::Sys("getcwd", ENOENT), "getcwd: no such file or directory"},
      {Error::Sys("", EINVAL), "invalid argument"},
      {Error::Sys("", EPERM).Wrap("set memory.max"), "set memory.max: operation not permitted"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.err.message(), c.want);
    // The errno survives for callers that branch on it.
    EXPECT_NE(c.err.sys_errno(), 0) << c.want;
  }
  EXPECT_TRUE(Error::Sys("", EPERM).Wrap("x").Is(EPERM));
}

}  // namespace
}  // namespace util
