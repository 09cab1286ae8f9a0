#include "internal/builder/python_deps.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <regex>

#include "internal/builder/deb_testing.h"
#include "internal/builder/roads.h"
#include "internal/builder/tree_testing.h"
#include "internal/pkgfmt/extract.h"
#include "internal/pkgfmt/manifest.h"
#include "internal/util/tempdir.h"

namespace builder {
namespace {

using testing::Deb;
using testing::FileListing;
using testing::Listing;
using testing::Slurp;
using testing::Spit;
using testing::Tar;
using testing::TarFile;

// Records its arguments one per line, drops a module into --target, and
// exits with $STUB_EXIT.
const char* kStub = R"(#!/bin/sh
: > "$STUB_RECORD"
for a in "$@"; do printf '%s\n' "$a" >> "$STUB_RECORD"; done
t=; prev=
for a in "$@"; do [ "$prev" = --target ] && t=$a; prev=$a; done
[ -n "$t" ] && echo 'VALUE = 1' > "$t/stubmod.py"
exit ${STUB_EXIT:-0}
)";

std::string Normalize(const std::string& s) {
  return std::regex_replace(s, std::regex("zol-build-tar-[0-9]+"), "zol-build-tar-N");
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
    out.push_back(text.substr(at, nl - at));
  }
  return out;
}

class PythonDepsTest : public testing::TreeTest {
 protected:
  void SetUp() override {
    TreeTest::SetUp();
    UsePrivateTmpdir();
    env_.Set("STUB_RECORD", Path("record").c_str());
    env_.Set("STUB_EXIT", nullptr);
    Spit(Path("bin/pip3"), kStub, 0755);
    env_.Set("PATH", (Path("bin") + ":/usr/bin:/bin").c_str());
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    cwd_ = cwd;
  }
  void TearDown() override {
    if (::chdir(cwd_.c_str()) != 0) ADD_FAILURE() << "chdir back to " << cwd_;
  }

  BuildOptions Opts(const std::string& package = "hello") {
    Spit(Path("in.deb"), Deb("Package: " + package + "\nVersion: 1.0\nArchitecture: amd64\n",
                             Tar({TarFile("usr/bin/" + package, "x", 0755)})));
    BuildOptions o;
    o.FromDeb = Path("in.deb");
    o.Output = Path("out");
    o.Base = "testbase";
    o.PipBundle = true;
    return o;
  }
  struct Outcome {
    std::string error;
    std::vector<std::string> printed;
  };
  Outcome Build(const BuildOptions& o) {
    ::unlink(Path("record").c_str());
    ::testing::internal::CaptureStdout();
    util::Error e = buildFromDeb(o);
    std::fflush(stdout);
    return {Normalize(e.message()), Lines(Normalize(::testing::internal::GetCapturedStdout()))};
  }
  // The arguments the stub saw; {"(not run)"} when it did not run.
  std::vector<std::string> Recorded() {
    struct stat st;
    if (::stat(Path("record").c_str(), &st) != 0) return {"(not run)"};
    return Lines(Normalize(Slurp(Path("record"))));
  }
  std::string SitePackages() const { return Path("tmp/zol-build-tar-N/files/site-packages"); }

  std::string cwd_;
};

TEST_F(PythonDepsTest, HostPipGetsTheExactArguments) {
  BuildOptions o = Opts();
  o.PipIndexURL = "http://127.0.0.1:1/simple";
  o.PipTrustedHost = "127.0.0.1";
  Spit(Path("recipe.json"), R"({"pip_extras": ["requests==2.0", "hell", "hello"]})");
  o.Recipe = Path("recipe.json");
  Outcome r = Build(o);
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.printed, (std::vector<std::string>{
                           "Bundling Python dependencies: pip install hello requests==2.0 --target " + SitePackages(),
                           "  [warn] Using host pip3. For Python version compatibility use --bundle-from-rootfs.",
                       }));
  EXPECT_EQ(Recorded(), (std::vector<std::string>{"install", "hello", "requests==2.0", "--target", SitePackages(),
                                                  "--no-warn-script-location", "--quiet", "--index-url",
                                                  "http://127.0.0.1:1/simple", "--trusted-host", "127.0.0.1"}));
  // What pip put into the target is packed, and the manifest points at it.
  ASSERT_TRUE(util::MkdirAll(Path("unpacked"), 0755).ok());
  ASSERT_TRUE(pkgfmt::ExtractTarGz(Path("out/com.calderim.hello_1.0_x86_64.zol"), Path("unpacked")).ok());
  EXPECT_EQ(Slurp(Path("unpacked/files/site-packages/stubmod.py")), "VALUE = 1\n");
  auto m = pkgfmt::ParseManifest(Slurp(Path("unpacked/manifest.json")));
  ASSERT_TRUE(m.ok());
  EXPECT_THAT(m->Runtime.Env["PYTHONPATH"], ::testing::HasSubstr("/app/site-packages"));
}

TEST_F(PythonDepsTest, RootfsInterpreterRunsByItsFullPath) {
  const std::string rootfs = Path("root fs");
  struct Case {
    std::vector<std::string> interpreters;
    std::string used;
  } cases[] = {
      {{"usr/bin/python3"}, "usr/bin/python3"},
      {{"usr/bin/python3", "usr/local/bin/python3"}, "usr/local/bin/python3"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(util::RemoveAll(rootfs).ok());
    for (const auto& i : c.interpreters) Spit(rootfs + "/" + i, kStub, 0755);
    BuildOptions o = Opts();
    o.PipPackage = "tinypkg extra";
    o.BundleFromRootfs = rootfs;
    Outcome r = Build(o);
    ASSERT_EQ(r.error, "") << c.used;
    EXPECT_EQ(r.printed, (std::vector<std::string>{
                             "Bundling Python dependencies: pip install tinypkg extra --target " + SitePackages(),
                             "  [rootfs] Using rootfs Python " + rootfs + "/" + c.used +
                                 " to pip install 'tinypkg extra'...",
                         }));
    EXPECT_EQ(Recorded(), (std::vector<std::string>{"-m", "pip", "install", "tinypkg", "extra", "--target",
                                                    SitePackages(), "--no-warn-script-location", "--quiet"}));
  }
}

TEST_F(PythonDepsTest, RefusalsAndFailuresStopBeforeOrAtPip) {
  Spit(Path("rootfs/usr/bin/python3"), kStub, 0755);
  ASSERT_TRUE(util::MkdirAll(Path("empty-rootfs"), 0755).ok());
  ASSERT_TRUE(util::MkdirAll(Path("cwd"), 0755).ok());
  Spit(Path("dash-extras.json"), R"({"pip_extras": ["-i", "http://evil.example/simple"]})");
  struct Case {
    std::string name;
    std::function<void(BuildOptions&)> setup;
    std::string want;
    bool runs = false;
    std::string package = "hello";
  } cases[] = {
      {"option as package", [](BuildOptions& o) { o.PipPackage = "--extra-index-url=http://evil.example/"; },
       "pip bundle: invalid pip requirement: --extra-index-url=http://evil.example/ (must not begin with \"-\")"},
      {"option among extras", [&](BuildOptions& o) { o.Recipe = Path("dash-extras.json"); },
       "pip bundle: invalid pip requirement: -i (must not begin with \"-\")"},
      {"option as package name", [](BuildOptions&) {},
       "pip bundle: invalid pip requirement: -rrequirements.txt (must not begin with \"-\")", false,
       "-rrequirements.txt"},
      {"option through the rootfs interpreter",
       [&](BuildOptions& o) {
         o.PipPackage = "-e .";
         o.BundleFromRootfs = Path("rootfs");
       },
       "pip bundle: invalid pip requirement: -e (must not begin with \"-\")"},
      {"version bound >", [](BuildOptions& o) { o.PipPackage = "pkg>=1"; },
       "pip bundle: invalid command argument: pkg>=1"},
      {"version bound <", [](BuildOptions& o) { o.PipPackage = "pkg<2"; },
       "pip bundle: invalid command argument: pkg<2"},
      {"index with &", [](BuildOptions& o) { o.PipIndexURL = "http://127.0.0.1/?a&b"; },
       "pip bundle: invalid command argument: http://127.0.0.1/?a&b"},
      {"trusted host with ..", [](BuildOptions& o) { o.PipTrustedHost = "a..b"; },
       "pip bundle: invalid command argument: a..b"},
      {"relative rootfs with ..",
       [&](BuildOptions& o) {
         ASSERT_EQ(::chdir(Path("cwd").c_str()), 0);
         o.BundleFromRootfs = "../rootfs";
       },
       "pip bundle: invalid command path: ../rootfs/usr/bin/python3"},
      {"no pip3 on the search path", [&](BuildOptions&) { ::setenv("PATH", Path("nothing").c_str(), 1); },
       "pip bundle: exec: \"pip3\": executable file not found in $PATH"},
      {"pip fails", [](BuildOptions&) { ::setenv("STUB_EXIT", "3", 1); }, "pip bundle: exit status 3", true},
      {"two words, no interpreter",
       [&](BuildOptions& o) {
         o.PipPackage = "a b";
         o.BundleFromRootfs = Path("empty-rootfs");
       },
       "pip bundle: python3 not found in rootfs " + Path("empty-rootfs") + ", and package a b not pre-installed"},
      {"one word not installed, no interpreter",
       [&](BuildOptions& o) { o.BundleFromRootfs = Path("empty-rootfs"); },
       "pip bundle: python3 not found in rootfs " + Path("empty-rootfs") + ", and package hello not pre-installed"},
  };
  for (const auto& c : cases) {
    ::setenv("PATH", (Path("bin") + ":/usr/bin:/bin").c_str(), 1);
    ::unsetenv("STUB_EXIT");
    ASSERT_EQ(::chdir(cwd_.c_str()), 0);
    ASSERT_TRUE(util::RemoveAll(Path("out")).ok());
    BuildOptions o = Opts(c.package);
    c.setup(o);
    Outcome r = Build(o);
    EXPECT_EQ(r.error, c.want) << c.name;
    if (!c.runs) {
      EXPECT_EQ(Recorded(), (std::vector<std::string>{"(not run)"})) << c.name;
    }
    EXPECT_TRUE(Listing(Path("tmp")).empty()) << c.name;
    EXPECT_TRUE(FileListing(Path("out")).empty()) << c.name;
  }
  // Each of the nine characters is refused in an argument.
  for (const char* ch : {"`", "$", ";", "&", "|", ">", "<", "\n", "\r"}) {
    BuildOptions o = Opts();
    o.PipIndexURL = std::string("http://127.0.0.1/") + ch;
    EXPECT_EQ(Build(o).error, "pip bundle: invalid command argument: " + o.PipIndexURL) << int(ch[0]);
    EXPECT_EQ(Recorded(), (std::vector<std::string>{"(not run)"}));
  }
}

TEST_F(PythonDepsTest, InstalledPackagesAreCopiedOffline) {
  const std::string rootfs = Path("rootfs");
  const std::string first = rootfs + "/usr/local/lib/python3.12/dist-packages";
  const std::string second = rootfs + "/usr/lib/python3/dist-packages";
  testing::MakeTree(rootfs, {
                                "f usr/local/lib/python3.12/dist-packages/my_pkg/__init__.py init",
                                "l usr/local/lib/python3.12/dist-packages/my_pkg/alias.py __init__.py",
                                "f usr/local/lib/python3.12/dist-packages/other.py other",
                                "l usr/local/lib/python3.12/dist-packages/toplink.py other.py",
                                "f usr/lib/python3/dist-packages/my_pkg/__init__.py second",
                                "f usr/lib/python3/site-packages/s.py s",
                                "l usr/lib/pythonlink python3",
                                "d usr/lib/notpython/dist-packages",
                            });
  Spit(rootfs + "/usr/bin/python3", kStub, 0755);
  EXPECT_EQ(findRootfsPythonDistPackages(rootfs),
            (std::vector<std::string>{first, second, rootfs + "/usr/lib/python3/site-packages"}));

  BuildOptions o = Opts();
  o.PipPackage = "my-pkg";
  o.BundleFromRootfs = rootfs;
  Outcome r = Build(o);
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.printed, (std::vector<std::string>{
                           "Bundling Python dependencies: pip install my-pkg --target " + SitePackages(),
                           "  [rootfs] Found 'my_pkg' in " + first +
                               " \xe2\x80\x94 copying installed packages (offline)...",
                           "  [rootfs] Copied 3 entries from " + first,
                       }));
  EXPECT_EQ(Recorded(), (std::vector<std::string>{"(not run)"}));
  ASSERT_TRUE(util::MkdirAll(Path("unpacked"), 0755).ok());
  ASSERT_TRUE(pkgfmt::ExtractTarGz(Path("out/com.calderim.hello_1.0_x86_64.zol"), Path("unpacked")).ok());
  EXPECT_EQ(FileListing(Path("unpacked/files/site-packages")), (std::vector<std::string>{
                                                                   "f 0644 /my_pkg/__init__.py = init",
                                                                   "l /my_pkg/alias.py -> __init__.py",
                                                                   "f 0644 /other.py = other",
                                                                   "f 0644 /toplink.py = other",
                                                               }));
}

TEST_F(PythonDepsTest, OfflineCopyKeepsLinksAndNeverWritesThroughThem) {
  const std::string src = Path("src");
  testing::MakeTree(src, {"f pkg/a.py a", "l pkg/link.py a.py", "l pkg/abs /etc/passwd", "f top.py t",
                          "l toplink.py top.py"});
  ASSERT_TRUE(copyDistPackagesFromDir(src, Path("target")).ok());
  EXPECT_EQ(FileListing(Path("target")), (std::vector<std::string>{
                                             "f 0644 /pkg/a.py = a",
                                             "l /pkg/abs -> /etc/passwd",
                                             "l /pkg/link.py -> a.py",
                                             "f 0644 /top.py = t",
                                             "f 0644 /toplink.py = t",
                                         }));
  // A link already standing where a file goes is refused, not followed.
  testing::MakeTree(tmp_->path(), {"f outside/canary canary"});
  ASSERT_TRUE(util::MkdirAll(Path("target2"), 0755).ok());
  ASSERT_EQ(::symlink(Path("outside/canary").c_str(), Path("target2/top.py").c_str()), 0);
  util::Error e = copyDistPackagesFromDir(src, Path("target2"));
  EXPECT_EQ(e.message(), "copy file top.py: open " + Path("target2/top.py") + ": too many levels of symbolic links");
  EXPECT_EQ(Slurp(Path("outside/canary")), "canary");
}

}  // namespace
}  // namespace builder
