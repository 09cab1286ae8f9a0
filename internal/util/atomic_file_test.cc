#include "internal/util/atomic_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "internal/util/dir_list.h"
#include "internal/util/files.h"
#include "internal/util/paths.h"
#include "internal/util/tempdir.h"

namespace util {
namespace {

TEST(AtomicFile, ReplacesWholeAndLeavesNothingBeside) {
  auto dir = TempDir::Make("atomic-");
  ASSERT_TRUE(dir.ok());
  const std::string path = dir->path() + "/f";
  ASSERT_TRUE(WriteFile(path, "old", 0644).ok());
  {
    auto f = AtomicFile::Create(path, 0600);
    ASSERT_TRUE(f.ok()) << f.error().message();
    ASSERT_TRUE(f->Write("new ").ok());
    // Until the commit a reader still sees the old content.
    EXPECT_EQ(*ReadFile(path), "old");
    ASSERT_TRUE(f->Write("text").ok());
    ASSERT_TRUE(f->Commit().ok());
  }
  EXPECT_EQ(*ReadFile(path), "new text");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u & ~0022u & 0777);
  EXPECT_EQ(*ListDir(dir->path()), std::vector<std::string>{"f"});
}

TEST(AtomicFile, DroppedWithoutCommitKeepsTheOldFile) {
  auto dir = TempDir::Make("atomic-");
  ASSERT_TRUE(dir.ok());
  const std::string path = dir->path() + "/f";
  ASSERT_TRUE(WriteFile(path, "old", 0644).ok());
  {
    auto f = AtomicFile::Create(path, 0644);
    ASSERT_TRUE(f.ok());
    ASSERT_TRUE(f->Write("half").ok());
  }
  EXPECT_EQ(*ReadFile(path), "old");
  EXPECT_EQ(*ListDir(dir->path()), std::vector<std::string>{"f"});
}

TEST(AtomicFile, NeverWritesThroughALinkAtTheTarget) {
  auto dir = TempDir::Make("atomic-");
  ASSERT_TRUE(dir.ok());
  const std::string victim = dir->path() + "/victim";
  ASSERT_TRUE(WriteFile(victim, "keep", 0644).ok());
  ASSERT_EQ(::symlink(victim.c_str(), (dir->path() + "/f").c_str()), 0);
  ASSERT_TRUE(WriteFileAtomic(dir->path() + "/f", "new", 0644).ok());
  EXPECT_EQ(*ReadFile(victim), "keep");
  struct stat st {};
  ASSERT_EQ(::lstat((dir->path() + "/f").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST(AtomicFile, MissingDirectoryNamesTheFile) {
  auto f = AtomicFile::Create("/nonexistent-dir-zol/f", 0644);
  ASSERT_FALSE(f.ok());
  EXPECT_EQ(f.error().message().rfind("open /nonexistent-dir-zol/.f.tmp", 0), 0u) << f.error().message();
}

TEST(AtomicFile, NamingTheTargetHidesTheFileBeside) {
  auto dir = TempDir::Make("atomic-");
  ASSERT_TRUE(dir.ok());
  AtomicFileOptions options;
  options.name_target = true;
  auto missing = AtomicFile::Create("/nonexistent-dir-zol/f", 0644, options);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message(), "open /nonexistent-dir-zol/f: no such file or directory");

  // A directory at the target refuses the rename; nothing is left beside it.
  const std::string path = dir->path() + "/d";
  ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
  {
    auto f = AtomicFile::Create(path, 0644, options);
    ASSERT_TRUE(f.ok());
    ASSERT_TRUE(f->Write("x").ok());
    ASSERT_TRUE(f->Close().ok());
    EXPECT_EQ(f->Commit().message(), "rename " + path + ": is a directory");
  }
  EXPECT_EQ(*ListDir(dir->path()), std::vector<std::string>{"d"});
}


// What a killed writer left beside the target goes with the next writer;
// a writer still at work keeps its file.
TEST(AtomicFile, NextWriterRemovesWhatKilledOnesLeft) {
  auto dir = TempDir::Make("atomic-");
  ASSERT_TRUE(dir.ok());
  const std::string path = dir->path() + "/f";
  for (const char* name : {".f.tmp123", ".f.tmp9", ".f.tmpx", ".g.tmp1", "f.tmp5"}) {
    ASSERT_TRUE(WriteFile(dir->path() + "/" + name, "left", 0644).ok());
  }
  auto live = AtomicFile::Create(path, 0644);
  ASSERT_TRUE(live.ok());
  const std::string live_name = BaseName(live->temp_path());
  auto next = AtomicFile::Create(path, 0644);
  ASSERT_TRUE(next.ok());
  std::vector<std::string> want = {".f.tmpx", ".g.tmp1", "f.tmp5", live_name, BaseName(next->temp_path())};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(*ListDir(dir->path()), want);
  ASSERT_TRUE(live->Write("live").ok());
  ASSERT_TRUE(live->Commit().ok());
  EXPECT_EQ(*ReadFile(path), "live");
}

}  // namespace
}  // namespace util
