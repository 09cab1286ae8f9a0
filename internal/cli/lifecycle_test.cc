#include "internal/cli/lifecycle.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <sstream>

#include "internal/util/dir_list.h"
#include "internal/util/files.h"
#include "internal/util/paths.h"
#include "internal/util/strings.h"
#include "internal/util/tempdir.h"

namespace cli {
namespace {

using std::string_literals::operator""s;

class TreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_umask_ = ::umask(022);
    auto d = util::TempDir::Make("zol-lifecycle-test-");
    ASSERT_TRUE(d.ok());
    dir_.emplace(std::move(*d));
    root_ = dir_->path();
  }
  void TearDown() override { ::umask(old_umask_); }

  void Put(const std::string& path, const std::string& text, mode_t mode) {
    ASSERT_TRUE(util::EnsureDir(util::DirName(path)).ok());
    ASSERT_TRUE(util::WriteFile(path, text, mode).ok());
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
  }
  static mode_t Mode(const std::string& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }
  static std::string Link(const std::string& p) {
    char buf[PATH_MAX];
    ssize_t n = ::readlink(p.c_str(), buf, sizeof buf);
    return n < 0 ? "" : std::string(buf, static_cast<size_t>(n));
  }
  static std::string Read(const std::string& p) {
    auto r = util::ReadFile(p);
    return r.ok() ? *r : "<" + r.error().message() + ">";
  }

  mode_t old_umask_ = 0;
  std::optional<util::TempDir> dir_;
  std::string root_;
};

using CopyDir = TreeTest;

TEST_F(CopyDir, CopiesModesContentAndLinkText) {
  std::string src = root_ + "/src", dst = root_ + "/stage/files";
  Put(src + "/bin/tool", "tool bytes", 0755);
  Put(src + "/etc/conf", "conf", 0640);
  Put(src + "/private/secret", "s", 0600);
  ASSERT_EQ(::chmod((src + "/private").c_str(), 0700), 0);
  ASSERT_EQ(::symlink("../nowhere/target", (src + "/bin/dangling").c_str()), 0);
  ASSERT_TRUE(util::EnsureDir(src + "/empty").ok());

  ::umask(027);
  util::Error err = copyDirN(src, dst);
  ASSERT_TRUE(err.ok()) << err.message();

  EXPECT_EQ(Read(dst + "/bin/tool"), "tool bytes");
  EXPECT_EQ(Mode(dst + "/bin/tool"), 0750u);  // the source's bits less the umask
  EXPECT_EQ(Mode(dst + "/etc/conf"), 0640u);
  EXPECT_EQ(Mode(dst + "/private"), 0700u);  // directories exactly
  EXPECT_EQ(Mode(dst + "/bin"), 0755u);
  EXPECT_EQ(Link(dst + "/bin/dangling"), "../nowhere/target");
  EXPECT_TRUE(util::Exists(dst + "/empty"));
}

TEST_F(CopyDir, DirectoryModeIsExactWhateverTheUmask) {
  std::string src = root_ + "/src";
  Put(src + "/open/f", "", 0644);
  ASSERT_EQ(::chmod((src + "/open").c_str(), 0777), 0);
  ::umask(077);
  ASSERT_TRUE(copyDirN(src, root_ + "/dst").ok());
  EXPECT_EQ(Mode(root_ + "/dst/open"), 0777u);
  EXPECT_EQ(Mode(root_ + "/dst/open/f"), 0600u);
}

TEST_F(CopyDir, ReplacesALinkAlreadyAtTheDestination) {
  std::string src = root_ + "/src", dst = root_ + "/dst";
  ASSERT_TRUE(util::EnsureDir(src).ok());
  ASSERT_EQ(::symlink("new-target", (src + "/l").c_str()), 0);
  ASSERT_TRUE(util::EnsureDir(dst).ok());
  ASSERT_EQ(::symlink("old-target", (dst + "/l").c_str()), 0);
  ASSERT_TRUE(copyDirN(src, dst).ok());
  EXPECT_EQ(Link(dst + "/l"), "new-target");
}

TEST_F(CopyDir, EmptySourceMakesNoDestination) {
  ASSERT_TRUE(util::EnsureDir(root_ + "/src").ok());
  ASSERT_TRUE(copyDirN(root_ + "/src", root_ + "/dst").ok());
  EXPECT_FALSE(util::Exists(root_ + "/dst"));
  EXPECT_EQ(copyDirN(root_ + "/absent", root_ + "/dst").message(),
            "open " + root_ + "/absent: no such file or directory");
}

TEST_F(CopyDir, NeverWritesThroughALinkInTheDestination) {
  std::string src = root_ + "/src", outside = root_ + "/outside";
  Put(src + "/sub/f", "payload", 0644);
  Put(src + "/z", "payload", 0644);
  Put(outside + "/z", "original", 0644);
  // A directory of the tree where the destination has a link out, and a file
  // where it has a link to a file outside.
  std::string dir_dst = root_ + "/dst1", file_dst = root_ + "/dst2";
  ASSERT_TRUE(util::EnsureDir(dir_dst).ok());
  ASSERT_EQ(::symlink(outside.c_str(), (dir_dst + "/sub").c_str()), 0);
  ASSERT_TRUE(util::EnsureDir(file_dst).ok());
  ASSERT_EQ(::symlink((outside + "/z").c_str(), (file_dst + "/z").c_str()), 0);
  EXPECT_FALSE(copyDirN(src, dir_dst).ok());
  EXPECT_FALSE(copyDirN(src, file_dst).ok());
  EXPECT_FALSE(util::Exists(outside + "/f"));
  EXPECT_EQ(Read(outside + "/z"), "original");
}

TEST_F(CopyDir, SpecialFileFailsInsteadOfHanging) {
  std::string src = root_ + "/src";
  ASSERT_TRUE(util::EnsureDir(src).ok());
  ASSERT_EQ(::mkfifo((src + "/pipe").c_str(), 0644), 0);
  util::Error err = copyDirN(src, root_ + "/dst");
  EXPECT_EQ(err.message(), "copy " + src + "/pipe: not a regular file");
}

using MoveDir = TreeTest;

// Type, mode, and content or link text of everything below `top`, by path.
std::string Snapshot(const std::string& top, const std::string& rel = "") {
  std::string out;
  if (!util::Exists(top)) return "absent";
  auto names = util::ListDir(rel.empty() ? top : top + "/" + rel);
  if (!names.ok()) return "<" + names.error().message() + ">";
  for (const std::string& n : *names) {
    const std::string r = rel.empty() ? n : rel + "/" + n, p = top + "/" + r;
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0) return "<lstat " + p + ">";
    out += util::Sprintf("%s %o ", r.c_str(), st.st_mode);
    if (S_ISDIR(st.st_mode)) {
      out += '\n';  // not "\n" + ...: GCC 12 reports a false -Wrestrict there at -O3
      out += Snapshot(top, r);
    } else if (S_ISLNK(st.st_mode)) {
      char buf[PATH_MAX];
      ssize_t k = ::readlink(p.c_str(), buf, sizeof buf);
      out += "-> " + std::string(buf, k < 0 ? 0 : static_cast<size_t>(k)) + "\n";
    } else {
      auto text = util::ReadFile(p);
      out += (text.ok() ? *text : "<unreadable>") + "\n";
    }
  }
  return out;
}

// The move stands in for the copy at install: whatever way it takes, the
// tree it leaves must be the one the copy would have made.
TEST_F(MoveDir, LeavesWhatTheCopyLeaves) {
  struct Case {
    const char* name;
    bool link_top;  // the tree is reached through a link to it
    bool empty;
  };
  for (const Case& c : {Case{"tree", false, false}, Case{"linked", true, false}, Case{"empty", false, true}}) {
    SCOPED_TRACE(c.name);
    const std::string base = root_ + "/" + c.name;
    for (const char* side : {"/copy", "/move"}) {
      const std::string src = base + side + "/src";
      ASSERT_TRUE(util::EnsureDir(src + "/data").ok());
      if (!c.empty) {
        Put(src + "/data/bin/tool", "tool bytes", 0777);
        Put(src + "/data/etc/conf", "conf", 0666);
        Put(src + "/data/private/secret", "s", 0600);
        ASSERT_EQ(::chmod((src + "/data/private").c_str(), 0700), 0);
        ASSERT_EQ(::chmod((src + "/data/bin").c_str(), 0777), 0);
        ASSERT_EQ(::symlink("../nowhere", (src + "/data/bin/dangling").c_str()), 0);
        ASSERT_TRUE(util::EnsureDir(src + "/data/empty").ok());
      }
      ASSERT_EQ(::chmod((src + "/data").c_str(), 0700), 0);
      if (c.link_top) {
        ASSERT_EQ(::symlink("data", (src + "/top").c_str()), 0);
      }
    }
    const std::string from = c.link_top ? "/src/top" : "/src/data";
    ::umask(027);
    util::Error copied = copyDirN(base + "/copy" + from, base + "/copy/dst");
    util::Error moved = moveDirN(base + "/move" + from, base + "/move/dst");
    ::umask(022);
    ASSERT_TRUE(copied.ok()) << copied.message();
    ASSERT_TRUE(moved.ok()) << moved.message();
    EXPECT_EQ(Snapshot(base + "/move/dst"), Snapshot(base + "/copy/dst"));
    EXPECT_EQ(util::Exists(base + "/move/dst"), !c.empty);
  }
}

class Lifecycle : public TreeTest {
 protected:
  void SetUp() override {
    TreeTest::SetUp();
    tree_ = root_ + "/app.installing";
    ASSERT_TRUE(util::EnsureDir(tree_ + "/files").ok());
    outside_ = root_ + "/outside";
    ASSERT_TRUE(util::EnsureDir(outside_).ok());
  }
  // A script that records how it was started, in a file beside the tree.
  std::string Recorder(const std::string& out) {
    return "#!/bin/sh\n"
           "env > '" + out + ".env'\n"
           "pwd > '" + out + ".pwd'\n"
           "readlink /proc/self/fd/0 > '" + out + ".stdin'\n";
  }
  std::string tree_, outside_;
};

TEST_F(Lifecycle, ScriptSeesItsTreeOnceAndInheritsTheRest) {
  std::string rec = root_ + "/rec";
  Put(tree_ + "/files/setup.sh", Recorder(rec), 0644);
  ASSERT_EQ(::setenv("ZOL_INSTALL_PATH", "/inherited/value", 1), 0);
  // The directory is passed on exactly as given, unclean form included.
  util::Error err = runLifecycleScript("files/setup.sh", tree_ + "/");
  ::unsetenv("ZOL_INSTALL_PATH");
  ASSERT_TRUE(err.ok()) << err.message();

  std::istringstream env(Read(rec + ".env"));
  std::vector<std::string> entries;
  for (std::string line; std::getline(env, line);) {
    if (line.rfind("ZOL_INSTALL_PATH=", 0) == 0) entries.push_back(line);
  }
  EXPECT_EQ(entries, std::vector<std::string>{"ZOL_INSTALL_PATH=" + tree_ + "/"});
  EXPECT_NE(Read(rec + ".env").find("PATH="), std::string::npos);
  char cwd[PATH_MAX];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(Read(rec + ".pwd"), std::string(cwd) + "\n");
  EXPECT_EQ(Read(rec + ".stdin"), "/dev/null\n");
  EXPECT_EQ(Mode(tree_ + "/files/setup.sh"), 0755u);
}

TEST_F(Lifecycle, AbsolutePathAndLinkInsideTheTreeRun) {
  std::string rec = root_ + "/rec";
  Put(tree_ + "/files/real.sh", Recorder(rec), 0600);
  ASSERT_EQ(::symlink("real.sh", (tree_ + "/files/via-link.sh").c_str()), 0);
  ASSERT_TRUE(runLifecycleScript(tree_ + "/files/./via-link.sh", tree_).ok());
  EXPECT_EQ(Mode(tree_ + "/files/real.sh"), 0755u);  // the link's target was made runnable
  EXPECT_TRUE(util::Exists(rec + ".env"));
}

TEST_F(Lifecycle, EscapesAreRefusedBeforeAnythingRuns) {
  std::string marker = root_ + "/ran";
  Put(outside_ + "/evil.sh", "#!/bin/sh\ntouch '" + marker + "'\n", 0644);
  ASSERT_EQ(::symlink((outside_ + "/evil.sh").c_str(), (tree_ + "/files/abs-link.sh").c_str()), 0);
  ASSERT_EQ(::symlink("../../outside/evil.sh", (tree_ + "/files/rel-link.sh").c_str()), 0);
  ASSERT_EQ(::symlink("../..", (tree_ + "/files/up").c_str()), 0);
  struct Case {
    std::string script, path;
  };
  const Case cases[] = {
      {"../../etc/x", util::CleanPath(tree_ + "/../../etc/x")},
      {"files/../../outside/evil.sh", outside_ + "/evil.sh"},
      {outside_ + "/evil.sh", outside_ + "/evil.sh"},
      {"files/abs-link.sh", tree_ + "/files/abs-link.sh"},
      {"files/rel-link.sh", tree_ + "/files/rel-link.sh"},
      {"files/up/outside/evil.sh", tree_ + "/files/up/outside/evil.sh"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    EXPECT_EQ(runLifecycleScript(c.script, tree_).message(),
              "lifecycle script path " + util::Quote(c.path) + " escapes install directory " +
                  util::Quote(tree_));
  }
  EXPECT_FALSE(util::Exists(marker));
  EXPECT_EQ(Mode(outside_ + "/evil.sh"), 0644u);  // no chmod through the links
}

TEST_F(Lifecycle, MissingScriptIsSkippedWithANote) {
  testing::internal::CaptureStderr();
  util::Error err = runLifecycleScript("files/absent.sh", tree_);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(err.ok()) << err.message();
  EXPECT_NE(log.find("[INFO] "), std::string::npos) << log;
  EXPECT_NE(log.find("[warn] Lifecycle script not found: " + tree_ + "/files/absent.sh (skipping)\n"),
            std::string::npos)
      << log;

  // A link inside the tree to nothing is just as missing.
  ASSERT_EQ(::symlink("gone.sh", (tree_ + "/files/dangling.sh").c_str()), 0);
  EXPECT_TRUE(runLifecycleScript("files/dangling.sh", tree_).ok());
}

TEST_F(Lifecycle, FailuresNameTheScript) {
  Put(tree_ + "/files/fail.sh", "#!/bin/sh\nexit 3\n", 0755);
  Put(tree_ + "/files/plain.sh", "exit 0\n", 0755);
  Put(tree_ + "/files/a$b.sh", "#!/bin/sh\n", 0755);
  struct Case {
    std::string script, error;
  };
  const Case cases[] = {
      {"files/fail.sh", "lifecycle script " + tree_ + "/files/fail.sh: exit status 3"},
      {"files/plain.sh", "lifecycle script " + tree_ + "/files/plain.sh: fork/exec " + tree_ +
                             "/files/plain.sh: exec format error"},
      {"files/a$b.sh", "invalid command path: " + tree_ + "/files/a$b.sh"},
      // No file can be named so; the failed look-up lets the validator speak.
      {"files/nul\0.sh"s, "invalid command path: " + tree_ + "/files/nul\0.sh"s},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    EXPECT_EQ(runLifecycleScript(c.script, tree_).message(), c.error);
  }
  // A tree whose name holds ".." passes the confinement test but not the
  // command validator.
  std::string odd = root_ + "/odd..tree";
  Put(odd + "/s.sh", "#!/bin/sh\n", 0755);
  EXPECT_EQ(runLifecycleScript("s.sh", odd).message(), "invalid command path: " + odd + "/s.sh");
}

}  // namespace
}  // namespace cli
