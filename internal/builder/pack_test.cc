#include "internal/builder/pack.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>

#include "internal/builder/tree_testing.h"
#include "internal/util/tempdir.h"

namespace builder {
namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

manifestParams Params() {
  manifestParams p;
  p.ID = "org.example.t";
  p.Name = "t";
  p.Version = std::string("1");  // the literal form trips a false -Wrestrict of GCC 12 at -O3
  p.Arch = "x86_64";
  p.Base = "ubuntu24.04";
  p.Kind = "cli";
  p.Command = "/app/bin/t";
  p.SourceType = "rpm";
  p.OriginalPackage = "t.rpm";
  return p;
}

// Every road ends in these two steps; whatever a road's metadata says, a
// name that install refuses stops the build before a file is written.
TEST(PackSteps, RefuseNamesInstallRefuses) {
  struct Case {
    std::string what;
    void (*change)(manifestParams&);
    std::string want;
  };
  const Case cases[] = {
      {"id from a package named ..", [](manifestParams& p) { p.ID = "com.calderim..x"; },
       "package id \"com.calderim..x\" is not usable as a directory name"},
      {"version with a backslash", [](manifestParams& p) { p.Version = "1\\2"; },
       "package version \"1\\\\2\" is not usable as a directory name"},
      {"base-layer id", [](manifestParams& p) { p.ID = "com.calderim.base.t"; },
       "package id \"com.calderim.base.t\": application ids may not begin with \"base.\" or "
       "\"com.calderim.base.\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto tmp = util::TempDir::Make("zol-pack-test-");
    ASSERT_TRUE(tmp.ok());
    const std::string build = tmp->path() + "/build", out = tmp->path() + "/out";
    testing::MakeTree(build, {"x files/bin/t #!/bin/sh"});
    manifestParams p = Params();
    c.change(p);
    pkgfmt::Manifest m = generateManifest(p);

    EXPECT_EQ(writeBuildArtifacts(build, out, m).message(), c.want);
    EXPECT_FALSE(Exists(build + "/manifest.json"));
    EXPECT_FALSE(Exists(out));

    // A manifest put there by other means is held to the same rule.
    ASSERT_TRUE(writeZOLManifest(build, m).ok());
    ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);
    EXPECT_EQ(packZOL(build, out + "/p.zol", "").message(), c.want);
    EXPECT_EQ(testing::Listing(out), std::vector<std::string>{});
  }
}

TEST(PackSteps, SoundNamesPack) {
  auto tmp = util::TempDir::Make("zol-pack-test-");
  ASSERT_TRUE(tmp.ok());
  const std::string build = tmp->path() + "/build", out = tmp->path() + "/out";
  testing::MakeTree(build, {"x files/bin/t #!/bin/sh"});
  ASSERT_TRUE(writeBuildArtifacts(build, out, generateManifest(Params())).ok());
  ASSERT_TRUE(packZOL(build, out + "/p.zol", "").ok());
  EXPECT_EQ(testing::Slurp(out + "/p.zol.sha256").size(), 65u);
}

}  // namespace
}  // namespace builder
