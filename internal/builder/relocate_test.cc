#include "internal/builder/relocate.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "internal/builder/tree_testing.h"
#include "internal/util/beneath.h"

namespace builder {
namespace {

using namespace testing;  // the tree helpers

class RelocateTest : public testing::TreeTest {
 protected:
  void SetUp() override {
    TreeTest::SetUp();
    src_ = tmp_->path() + "/files";
    dst_ = tmp_->path() + "/relocated";
    ASSERT_TRUE(util::MkdirAll(src_, 0755).ok());
    ASSERT_TRUE(util::MkdirAll(dst_, 0755).ok());
  }
  // The error of relocating `tree`, laid out as a new source, into an empty
  // destination.
  std::string RelocateFresh(const std::vector<std::string>& tree) {
    EXPECT_TRUE(util::RemoveAll(src_).ok());
    EXPECT_TRUE(util::RemoveAll(dst_).ok());
    EXPECT_TRUE(util::MkdirAll(dst_, 0755).ok());
    MakeTree(src_, tree);
    return relocateFiles(src_, dst_).message();
  }

  std::string src_, dst_;
};

TEST_F(RelocateTest, EachSourceLandsInItsPlace) {
  MakeTree(src_, {
                     "f bin/a bin",         "f sbin/b sbin",         "f usr/bin/c usr-bin",
                     "f usr/sbin/d usr-sbin", "f lib/e lib",         "f lib64/f lib64",
                     "f usr/lib/g usr-lib", "f usr/lib64/h usr-lib64", "f share/i share",
                     "f usr/share/doc/j usr-share", "f etc/k etc",   "f app/l app",
                     "f opt/x/y opt",       "f usr/local/bin/tool local", "f usr/include/m.h include",
                     "d srv/empty",         "f README readme",       "l toplink bin",
                     "f usr/README usr-readme", "l usr/linked bin",  "l usr/lib32 lib",
                 });
  ASSERT_TRUE(relocateFiles(src_, dst_).ok());
  EXPECT_EQ(FileListing(dst_), (std::vector<std::string>{
                                   "f 0644 /app/l = app",
                                   "f 0644 /bin/a = bin",
                                   "f 0644 /bin/b = sbin",
                                   "f 0644 /bin/c = usr-bin",
                                   "f 0644 /bin/d = usr-sbin",
                                   "f 0644 /etc/k = etc",
                                   "f 0644 /lib/e = lib",
                                   "f 0644 /lib/f = lib64",
                                   "f 0644 /lib/g = usr-lib",
                                   "f 0644 /lib/h = usr-lib64",
                                   "f 0644 /rootfs-overlay/opt/x/y = opt",
                                   "f 0644 /rootfs-overlay/usr/include/m.h = include",
                                   "f 0644 /rootfs-overlay/usr/local/bin/tool = local",
                                   "f 0644 /share/doc/j = usr-share",
                                   "f 0644 /share/i = share",
                               }));
  struct stat st;
  EXPECT_EQ(::lstat((dst_ + "/rootfs-overlay/srv/empty").c_str(), &st), 0) << "empty directories move too";
}

// For one relative path the later source wins: usr/sbin over usr/bin over
// sbin over bin, usr/lib64 over usr/lib over lib64 over lib, usr/share over
// share. Each row leaves out the sources above it.
TEST_F(RelocateTest, LaterSourcesWinInWalkOrder) {
  struct Case {
    std::vector<std::string> sources;
    std::string dest;
  } cases[] = {
      {{"bin", "sbin", "usr/bin", "usr/sbin"}, "bin"},
      {{"bin", "sbin", "usr/bin"}, "bin"},
      {{"bin", "sbin"}, "bin"},
      {{"lib", "lib64", "usr/lib", "usr/lib64"}, "lib"},
      {{"lib", "lib64", "usr/lib"}, "lib"},
      {{"lib", "lib64"}, "lib"},
      {{"share", "usr/share"}, "share"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(util::RemoveAll(src_).ok());
    ASSERT_TRUE(util::RemoveAll(dst_).ok());
    ASSERT_TRUE(util::MkdirAll(dst_, 0755).ok());
    for (const auto& s : c.sources) MakeTree(src_, {"f " + s + "/sub/tool " + s, "f " + s + "/only-" + "x " + s});
    ASSERT_TRUE(relocateFiles(src_, dst_).ok()) << c.sources.back();
    EXPECT_EQ(Slurp(dst_ + "/" + c.dest + "/sub/tool"), c.sources.back());
  }
}

TEST_F(RelocateTest, FirstSourceMovesWholeAndLaterOnesMerge) {
  MakeTree(src_, {"f lib64/a.so a", "d lib64/private", "f usr/lib64/b.so b", "l usr/lib64/a.so b.so",
                  "f usr/lib64/private/c c"});
  ::chmod((src_ + "/lib64/private").c_str(), 0700);
  ::chmod((src_ + "/usr/lib64/private").c_str(), 0755);
  struct stat before;
  ASSERT_EQ(::lstat((src_ + "/lib64").c_str(), &before), 0);
  ASSERT_TRUE(relocateFiles(src_, dst_).ok());
  struct stat after;
  ASSERT_EQ(::lstat((dst_ + "/lib").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino) << "lib64 is renamed, not copied";
  EXPECT_EQ(Listing(dst_ + "/lib"), (std::vector<std::string>{
                                        "l /a.so -> b.so",
                                        "f 0644 /b.so = b",
                                        "d 0700 /private",
                                        "f 0644 /private/c = c",
                                    }));
}

TEST_F(RelocateTest, MergeConflictsFail) {
  struct Case {
    std::string name;
    std::vector<std::string> tree;
    std::string want;
  } cases[] = {
      {"directory meets file", {"f bin/x file", "f sbin/x/y y"},
       "move " + src_ + "/sbin -> " + dst_ + "/bin: mkdir " + dst_ + "/bin/x: not a directory"},
      {"file meets directory", {"f bin/x/y y", "f sbin/x file"},
       "move " + src_ + "/sbin -> " + dst_ + "/bin: rename " + src_ + "/sbin/x " + dst_ +
           "/bin/x: is a directory"},
      {"link meets non-empty directory", {"f bin/x/y y", "l usr/bin/x y"},
       "move usr/bin -> " + dst_ + "/bin: remove " + dst_ + "/bin/x: directory not empty"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RelocateFresh(c.tree), c.want) << c.name;
  }
}

// Links the package planted never carry a merge outside; a later file over a
// planted link replaces the link itself.
class RelocateHostileTest : public RelocateTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    RelocateTest::SetUp();
    util::SetBeneathFallbackForTesting(GetParam());
    MakeTree(tmp_->path(), {"f outside/canary canary"});
  }
  void TearDown() override { util::SetBeneathFallbackForTesting(false); }
  void ExpectOutsideUntouched(const std::string& label) {
    EXPECT_EQ(Listing(Path("outside")), (std::vector<std::string>{"f 0644 /canary = canary"})) << label;
  }
};

TEST_P(RelocateHostileTest, PlantedLinksAreNeverFollowedOut) {
  const std::string out = Path("outside");
  const std::string escape = ": " + dst_ + "/bin/x: a symbolic link on the way leads out of the tree";
  struct Case {
    std::string name;
    std::vector<std::string> tree;
    std::string want;
  } cases[] = {
      {"absolute link, then a directory through it", {"l bin/x " + out, "f sbin/x/evil e"},
       "move " + src_ + "/sbin -> " + dst_ + "/bin" + escape},
      {"relative chain out", {"l bin/up ..", "l bin/x up/../outside", "f usr/bin/x/evil e"},
       "move usr/bin -> " + dst_ + "/bin" + escape},
      {"merge into a link to a directory outside", {"l bin/x " + out, "l usr/sbin/x/evil /etc/passwd"},
       "move usr/sbin -> " + dst_ + "/bin" + escape},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RelocateFresh(c.tree), c.want) << c.name;
    ExpectOutsideUntouched(c.name);
  }
}

TEST_P(RelocateHostileTest, LinksInPlaceOfFilesAndOfUsrAreNotWrittenThrough) {
  const std::string out = Path("outside");
  MakeTree(src_, {"l bin/tool " + out + "/canary", "f sbin/tool replaced", "l usr " + out});
  ASSERT_TRUE(relocateFiles(src_, dst_).ok());
  EXPECT_EQ(FileListing(dst_), (std::vector<std::string>{"f 0644 /bin/tool = replaced"}));
  ExpectOutsideUntouched("file over link");
}

INSTANTIATE_TEST_SUITE_P(Beneath, RelocateHostileTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Fallback" : "Openat2"; });

}  // namespace
}  // namespace builder
