#include "internal/builder/pam.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internal/builder/tree_testing.h"

namespace builder {
namespace {

using namespace testing;  // the tree helpers

const std::string kModule =
    "from ctypes import CDLL\n"
    "LIBPAM = CDLL(find_library(\"pam\"))\n"
    "AGAIN = 'LIBPAM = CDLL(find_library(\"pam\"))'\n";
const std::string kPatched =
    "from ctypes import CDLL\n"
    "LIBPAM = CDLL(find_library(\"pam\") or \"libpam.so.0\")\n"
    "AGAIN = 'LIBPAM = CDLL(find_library(\"pam\"))'\n";

class PAMTest : public testing::TreeTest {
 protected:
  void SetUp() override {
    TreeTest::SetUp();
    files_ = Path("files");
    sp_ = Path("files/site-packages");
    rootfs_ = Path("rootfs");
    MakeTree(rootfs_, {"f usr/lib/x86_64-linux-gnu/libpam.so.0.85.1 \x7f" "ELF fake pam",
                       "l usr/lib/x86_64-linux-gnu/libpam.so.0 libpam.so.0.85.1",
                       "f host/libpam.so.0 host library"});
    MakeTree(sp_, {"f __pycache__/pamela.cpython-311.pyc old", "f __pycache__/pamela.cpython-312.opt-1.pyc old",
                   "f __pycache__/other.cpython-311.pyc keep", "f other.py o"});
  }
  std::vector<std::string> Run() {
    ::testing::internal::CaptureStdout();
    patchPAMLibrary(sp_, files_, rootfs_);
    std::fflush(stdout);
    std::string out = ::testing::internal::GetCapturedStdout();
    std::vector<std::string> lines;
    for (size_t at = 0, nl; (nl = out.find('\n', at)) != std::string::npos; at = nl + 1) {
      lines.push_back(out.substr(at, nl - at));
    }
    return lines;
  }
  std::string Bundled() const {
    return "  [pam] Bundled " + Path("rootfs") + "/usr/lib/x86_64-linux-gnu/libpam.so.0 -> files/lib/libpam.so.0";
  }
  const std::string kPatchedLine = "  [pam] Patched pamela.py: added libpam.so.0 fallback for chroot";

  std::string files_, sp_, rootfs_;
};

TEST_F(PAMTest, PatchesTheModuleAndBundlesTheLibrary) {
  Spit(sp_ + "/pamela.py", kModule, 0640);
  EXPECT_EQ(Run(), (std::vector<std::string>{Bundled(), kPatchedLine}));
  EXPECT_EQ(Slurp(files_ + "/lib/libpam.so.0"), Slurp(rootfs_ + "/usr/lib/x86_64-linux-gnu/libpam.so.0.85.1"));
  EXPECT_EQ(Slurp(sp_ + "/pamela.py"), kPatched);
  struct stat st;
  ASSERT_EQ(::stat((sp_ + "/pamela.py").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u) << "the module keeps its mode";
  EXPECT_EQ(FileListing(sp_ + "/__pycache__"), (std::vector<std::string>{"f 0644 /other.cpython-311.pyc = keep"}));
}

TEST_F(PAMTest, ModuleWithoutTheLineIsLeftAlone) {
  Spit(sp_ + "/pamela.py", "LIBPAM = CDLL('libpam.so.0')\n");
  EXPECT_EQ(Run(), (std::vector<std::string>{Bundled()}));
  EXPECT_EQ(Slurp(sp_ + "/pamela.py"), "LIBPAM = CDLL('libpam.so.0')\n");
  EXPECT_EQ(FileListing(sp_ + "/__pycache__").size(), 3u);
}

TEST_F(PAMTest, NoModuleNoFixUp) {
  EXPECT_TRUE(Run().empty());
  struct stat st;
  EXPECT_NE(::lstat((files_ + "/lib").c_str(), &st), 0);
}

// A link the Debian package left in files/lib never carries the copy out:
// the host's library stays as it was and only the module is patched.
TEST_F(PAMTest, PlantedLinksLeaveTheHostUntouched) {
  const std::string host = Path("rootfs/host");
  struct Case {
    std::string name;
    std::vector<std::string> planted;
  } cases[] = {
      {"library link", {"l lib/libpam.so.0 " + host + "/libpam.so.0"}},
      {"relative library link", {"l lib/libpam.so.0 ../../rootfs/host/libpam.so.0"}},
      {"lib directory link", {"l lib " + host}},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(util::RemoveAll(files_ + "/lib").ok());
    Spit(sp_ + "/pamela.py", kModule);
    MakeTree(files_, c.planted);
    EXPECT_EQ(Run(), (std::vector<std::string>{kPatchedLine})) << c.name;
    EXPECT_EQ(FileListing(host), (std::vector<std::string>{"f 0644 /libpam.so.0 = host library"})) << c.name;
    EXPECT_EQ(Slurp(sp_ + "/pamela.py"), kPatched) << c.name;
  }
}

TEST_F(PAMTest, RootfsCandidatesInOrder) {
  const std::string r = Path("r");
  MakeTree(r, {"f usr/lib/libpam.so.0 6", "f usr/lib64/libpam.so.0 5", "f lib/aarch64-linux-gnu/libpam.so.0 4",
               "l lib/x86_64-linux-gnu/libpam.so.0 missing"});
  EXPECT_EQ(findPAMLib(r), r + "/lib/aarch64-linux-gnu/libpam.so.0") << "a dangling link does not count";
  MakeTree(r, {"f usr/lib/aarch64-linux-gnu/libpam.so.0 2"});
  EXPECT_EQ(findPAMLib(r), r + "/usr/lib/aarch64-linux-gnu/libpam.so.0");
}

}  // namespace
}  // namespace builder
