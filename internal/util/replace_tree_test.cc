#include "internal/util/replace_tree.h"

#include <fcntl.h>
#include <stdio.h>

#include <cerrno>
#include <map>
#include <optional>

#include <gtest/gtest.h>

#include "internal/util/dir_list.h"
#include "internal/util/files.h"
#include "internal/util/tempdir.h"

namespace util {
namespace {

// What sits in the directory `top`: each entry and, for a directory, the
// "mark" file in it, or for an entry a level down, its holder's contents.
std::string Layout(const std::string& top) {
  std::string out;
  auto names = ListDir(top);
  if (!names.ok()) return names.error().message();
  for (const std::string& n : *names) {
    auto mark = ReadFile(top + "/" + n + "/mark");
    if (mark.ok()) {
      out += n + "=" + *mark + " ";
      continue;
    }
    auto inner = ListDir(top + "/" + n);
    out += n + "[";
    for (const std::string& i : inner.ok() ? *inner : std::vector<std::string>{}) {
      auto m = ReadFile(top + "/" + n + "/" + i + "/mark");
      out += i + "=" + (m.ok() ? *m : "?");
    }
    out += "] ";
  }
  return out;
}

// The holder's random part, replaced so a layout can be compared.
std::string Stable(std::string layout) {
  const std::string infix = ".held-";
  for (size_t at = layout.find(infix); at != std::string::npos; at = layout.find(infix, at + 1)) {
    layout.replace(at + infix.size(), 6, "XXXXXX");
  }
  return layout;
}

TEST(ReplaceTree, EveryFailureLeavesAWholeTreeAtTheTarget) {
  struct Case {
    const char* name;
    bool target_exists;
    bool exchange;
    std::map<int, int> fail;  // rename call (from 1) -> errno it fails with
    const char* error;        // "" for success; else the start of the message
    const char* layout;       // the directory afterwards
    const char* returned;     // what the caller is told to remove
  };
  const Case cases[] = {
      {"fresh", false, true, {}, "", "app=new ", ""},
      {"fresh, rename fails", false, true, {{1, EIO}}, "commit: rename", "app.staging=new ", ""},
      {"exchange", true, true, {}, "", "app=new app.staging=old ", "app.staging"},
      {"exchange refused", true, true, {{1, EBUSY}}, "commit: rename", "app=old app.staging=new ", ""},
      {"no exchange here", true, true, {{1, EINVAL}}, "", "app=new app.held-XXXXXX[old=old] ", "app.held-XXXXXX"},
      {"no exchange asked", true, false, {}, "", "app=new app.held-XXXXXX[old=old] ", "app.held-XXXXXX"},
      {"rolled back", true, false, {{1, EIO}}, "commit: rename", "app=old app.staging=new ", ""},
      {"roll back fails", true, false, {{1, EIO}, {2, EIO}}, "commit: rename",
       "app.held-XXXXXX[old=old] app.staging=new ", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto dir = TempDir::Make("replace-tree-");
    ASSERT_TRUE(dir.ok());
    const std::string top = dir->path(), staging = top + "/app.staging", target = top + "/app";
    ASSERT_TRUE(MkdirAll(staging, 0755).ok());
    ASSERT_TRUE(WriteFile(staging + "/mark", "new", 0644).ok());
    if (c.target_exists) {
      ASSERT_TRUE(MkdirAll(target, 0755).ok());
      ASSERT_TRUE(WriteFile(target + "/mark", "old", 0644).ok());
    }
    int calls = 0;
    ReplaceTreeOptions opts{.infix = ".held-", .exchange = c.exchange, .commit_context = "commit"};
    opts.rename = [&](const char* from, const char* to, unsigned flags) {
      auto f = c.fail.find(++calls);
      if (f != c.fail.end()) {
        errno = f->second;
        return -1;
      }
      return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, flags);
    };
    Result<std::string> got = ReplaceTree(staging, target, opts);
    if (*c.error == '\0') {
      ASSERT_TRUE(got.ok()) << got.error().message();
      EXPECT_EQ(Stable(got->empty() ? "" : got->substr(top.size() + 1)), c.returned);
    } else {
      ASSERT_FALSE(got.ok());
      EXPECT_EQ(got.error().message().rfind(c.error, 0), 0u) << got.error().message();
    }
    EXPECT_EQ(Stable(Layout(top)), c.layout);
  }
}

TEST(ReplaceTree, OldTreeThatCannotBeSetAsideStaysInPlace) {
  auto dir = TempDir::Make("replace-tree-");
  ASSERT_TRUE(dir.ok());
  const std::string staging = dir->path() + "/s", target = dir->path() + "/t";
  ASSERT_TRUE(MkdirAll(staging, 0755).ok());
  ASSERT_TRUE(MkdirAll(target, 0755).ok());
  // The holder would go below a directory that does not exist.
  Result<std::string> got = ReplaceTree(
      staging, target, {.infix = "/missing/held-", .exchange = false, .aside_context = "remove existing"});
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error().message().rfind("remove existing: mkdir " + target + "/missing/held-", 0), 0u)
      << got.error().message();
  EXPECT_EQ(*ListDir(dir->path()), (std::vector<std::string>{"s", "t"}));
}

TEST(TreeGuard, RemovesUnlessReleased) {
  auto dir = TempDir::Make("tree-guard-");
  ASSERT_TRUE(dir.ok());
  for (bool release : {false, true}) {
    const std::string path = dir->path() + (release ? "/kept" : "/dropped");
    ASSERT_TRUE(MkdirAll(path + "/sub", 0755).ok());
    TreeGuard guard(path);
    if (release) guard.Release();
  }
  EXPECT_EQ(*ListDir(dir->path()), std::vector<std::string>{"kept"});
}

}  // namespace
}  // namespace util
