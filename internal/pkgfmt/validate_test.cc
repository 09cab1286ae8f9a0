#include "internal/pkgfmt/validate.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "internal/pkgfmt/crypto_testing.h"

namespace pkgfmt {
namespace {

using testing::Shell;
using testing::Spit;

const char kGoodManifest[] =
    R"({"id":"app","version":"1.0","arch":"x86_64","base":"ubuntu24.04","entry":{"command":"/app/bin/app"}})";

// Runs every case with TMPDIR pointing at a directory of its own, so the
// test can see that no "zol-validate-" directory outlives a call.
class ValidateZol : public testing::ScratchDir {
 protected:
  void SetUp() override {
    ScratchDir::SetUp();
    if (const char* t = std::getenv("TMPDIR")) saved_tmpdir_ = t;
    tmpdir_ = Path("tmp");
    ASSERT_EQ(::mkdir(tmpdir_.c_str(), 0700), 0);
    ::setenv("TMPDIR", tmpdir_.c_str(), 1);
  }
  void TearDown() override {
    if (saved_tmpdir_) ::setenv("TMPDIR", saved_tmpdir_->c_str(), 1); else ::unsetenv("TMPDIR");
  }

  // A package from a shell recipe run inside a fresh tree directory.
  std::string Package(const std::string& name, const std::string& recipe) {
    std::string tree = Path("tree-" + name);
    int st = -1;
    Shell("mkdir -p '" + tree + "' && cd '" + tree + "' && " + recipe + " && tar -czf '" + Path(name) + "' *", &st);
    EXPECT_EQ(st, 0) << recipe;
    return Path(name);
  }

  std::optional<std::string> saved_tmpdir_;
  std::string tmpdir_;
};

TEST_F(ValidateZol, Cases) {
  Spit(Path("m-good"), kGoodManifest);
  Spit(Path("m-noid"), R"({"version":"1.0","arch":"x86_64","base":"b","entry":{"command":"x"}})");
  const std::string good = "cp '" + Path("m-good") + "' manifest.json";
  Spit(Path("plain.zol"), "not gzip");
  ASSERT_EQ(::mkdir(Path("dir.zol").c_str(), 0755), 0);
  struct Case {
    std::string name, path, error;  // error ending in ": " is a prefix
  } cases[] = {
      {"good", Package("good.zol", good + " && mkdir -p files/bin && echo x > files/bin/app"), ""},
      {"files as a link to a directory", Package("link.zol", good + " && mkdir real && ln -s real files"), ""},
      {"upper-case extension", Package("up.ZOL", good + " && mkdir files"), "not a .zol file: " + Path("up.ZOL")},
      {"files is a file", Package("ff.zol", good + " && touch files"), "missing files directory in package"},
      {"no files", Package("nf.zol", good), "missing files directory in package"},
      {"invalid manifest", Package("bad.zol", "cp '" + Path("m-noid") + "' manifest.json && mkdir files"),
       "parse manifest: manifest error: id: required field is missing"},
      {"no manifest", Package("nm.zol", "mkdir files"), "read manifest: open "},
      {"not a package", Path("plain.zol"), "extract zol: "},
      {"missing", Path("missing.zol"), "extract zol: "},
      // A read that fails names the file it failed on.
      {"a directory", Path("dir.zol"), "extract zol: gzip reader: read " + Path("dir.zol") + ": is a directory"},
  };
  for (const Case& c : cases) {
    std::string msg = ValidateZOL(c.path).message();
    if (!c.error.empty() && c.error.back() == ' ') {
      EXPECT_EQ(msg.rfind(c.error, 0), 0u) << c.name << ": " << msg;
    } else {
      EXPECT_EQ(msg, c.error) << c.name;
    }
    EXPECT_EQ(Shell("ls -A '" + tmpdir_ + "'"), "") << c.name;
  }
}

}  // namespace
}  // namespace pkgfmt
