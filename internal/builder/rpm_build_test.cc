#include "internal/builder/rpm_build.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <algorithm>
#include <string>
#include <vector>

#include "internal/builder/builder.h"
#include "internal/builder/deb_testing.h"
#include "internal/builder/roads.h"
#include "internal/builder/tree_testing.h"
#include "internal/pkgfmt/manifest.h"
#include "internal/pkgfmt/member_read.h"
#include "internal/util/files.h"
#include "internal/util/strings.h"
#include "internal/util/tempdir.h"

namespace builder {
namespace {

using namespace std::string_literals;

using testing::Gzip;
using testing::HostArch;
using testing::NewcEntry;
using testing::U32;

// An RPM with string tags only (an empty value leaves its tag out) and a
// gzip payload holding an executable and a link to it.
std::string CraftRPM(const std::map<int32_t, std::string>& tags, const std::string& cpio_name = "./usr/bin/tool") {
  std::string index, store;
  uint32_t count = 0;
  for (const auto& [tag, value] : tags) {
    if (value.empty()) continue;
    index += U32(static_cast<uint32_t>(tag)) + U32(6) + U32(static_cast<uint32_t>(store.size())) + U32(1);
    store += value + '\0';
    ++count;
  }
  std::string lead = "\xed\xab\xee\xdb\x03"s;
  lead.resize(96, '\0');
  std::string empty_sig = "\x8e\xad\xe8\x01"s + U32(0) + U32(0) + U32(0);
  std::string main = "\x8e\xad\xe8\x01"s + U32(0) + U32(count) + U32(static_cast<uint32_t>(store.size())) + index + store;
  std::string payload = NewcEntry(cpio_name, "#!/bin/sh\necho tool\n", 0100755) +
                        NewcEntry("./usr/bin/tool-link", "tool", 0120777) + NewcEntry("TRAILER!!!", "", 0);
  return lead + empty_sig + main + Gzip(payload);
}

class RpmRoadTest : public testing::TreeTest {
 protected:
  void SetUp() override {
    TreeTest::SetUp();
    UsePrivateTmpdir();
    root_ = tmp_->path();
    tmpdir_ = Path("tmp");
  }

  std::string Write(const std::string& name, const std::string& data, mode_t mode = 0644) {
    std::string p = root_ + "/" + name;
    EXPECT_TRUE(util::WriteFile(p, data, mode).ok());
    return p;
  }

  // A build of rpm into output on the "testbase" layer, /app/usr/bin/tool
  // its entry.
  static BuildOptions ToolBuild(const std::string& rpm, const std::string& output) {
    BuildOptions o;
    o.FromRPM = rpm;
    o.Base = "testbase";
    o.Command = "/app/usr/bin/tool";
    o.Output = output;
    return o;
  }

  std::vector<std::string> Names(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = ::opendir(dir.c_str())) {
      while (struct dirent* e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") out.push_back(n);
      }
      ::closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  std::string root_, tmpdir_;
};

TEST(RpmArch, MapIsExactAndCaseSensitive) {
  const std::pair<const char*, const char*> cases[] = {
      {"i386", "i686"},     {"i686", "i686"},       {"x86_64", "x86_64"}, {"aarch64", "aarch64"},
      {"armv7l", "armv7l"}, {"armv7hl", "armv7l"},  {"noarch", "noarch"}, {"", ""},
      {"I386", "I386"},     {"ARMV7HL", "ARMV7HL"}, {"ppc64le", "ppc64le"}, {"i586", "i586"},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(mapRPMArch(in), want) << in;
}

TEST_F(RpmRoadTest, SettlesIdNameAndVersion) {
  const std::string host = HostArch();
  struct Case {
    std::string release, opt_id, opt_name, opt_version;
    std::string rpm_arch = "x86_64", opt_arch;
    std::string want_file, want_id, want_name, want_version;
    std::string want_arch = "x86_64";
  } cases[] = {
      {"1.el9", "", "", "", "x86_64", "", "com.calderim.zoltool_2.3-1.el9_x86_64.zol", "com.calderim.zoltool",
       "zoltool", "2.3-1.el9"},
      {"", "", "", "", "x86_64", "", "com.calderim.zoltool_2.3_x86_64.zol", "com.calderim.zoltool", "zoltool", "2.3"},
      {"1.el9", "", "", "5.0", "x86_64", "", "com.calderim.zoltool_5.0_x86_64.zol", "com.calderim.zoltool", "zoltool",
       "5.0"},
      {"1", "", "Other", "", "x86_64", "", "com.calderim.Other_2.3-1_x86_64.zol", "com.calderim.Other", "Other",
       "2.3-1"},
      {"1", "org.example.t", "Other", "", "x86_64", "", "org.example.t_2.3-1_x86_64.zol", "org.example.t", "Other",
       "2.3-1"},
      // A package that names its architecture keeps it whatever --arch says;
      // noarch takes --arch, else the host's.
      {"1", "", "", "", "x86_64", "aarch64", "com.calderim.zoltool_2.3-1_x86_64.zol", "com.calderim.zoltool",
       "zoltool", "2.3-1"},
      {"1", "", "", "", "noarch", "", "com.calderim.zoltool_2.3-1_" + host + ".zol", "com.calderim.zoltool",
       "zoltool", "2.3-1", host},
      {"1", "", "", "", "noarch", "aarch64", "com.calderim.zoltool_2.3-1_aarch64.zol", "com.calderim.zoltool",
       "zoltool", "2.3-1", "aarch64"},
  };
  int i = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want_file);
    std::string rpm = Write("in" + std::to_string(i) + ".rpm",
                            CraftRPM({{1000, "zoltool"}, {1001, "2.3"}, {1002, c.release}, {1022, c.rpm_arch}}));
    BuildOptions o = ToolBuild(rpm, root_ + "/out" + std::to_string(i++));
    o.ID = c.opt_id;
    o.Name = c.opt_name;
    o.Version = c.opt_version;
    o.Arch = c.opt_arch;
    auto err = buildFromRPM(o);
    ASSERT_TRUE(err.ok()) << err.message();
    std::string pkg = o.Output + "/" + c.want_file;
    EXPECT_EQ(Names(o.Output), (std::vector<std::string>{c.want_file, c.want_file + ".sha256"}));

    auto data = pkgfmt::ReadLastMember(pkg, "manifest.json", 1 << 20);
    ASSERT_TRUE(data.ok() && data->has_value());
    auto m = pkgfmt::ParseManifest(**data);
    ASSERT_TRUE(m.ok()) << m.error().message();
    EXPECT_EQ(m->ID, c.want_id);
    EXPECT_EQ(m->Name, c.want_name);
    EXPECT_EQ(m->Version, c.want_version);
    EXPECT_EQ(m->Arch, c.want_arch);
    EXPECT_EQ(m->Base, "testbase");
    EXPECT_EQ(m->Kind, "cli");
    EXPECT_EQ(m->Description, "");
    EXPECT_EQ(m->Entry.Command, "/app/usr/bin/tool");
    EXPECT_EQ(m->Build.SourceType, "rpm");
    EXPECT_EQ(m->Build.OriginalPackage, rpm);

    // The payload stays at its own path: no relocation into bin.
    auto tool = pkgfmt::ReadLastMember(pkg, "files/usr/bin/tool", 1 << 20);
    ASSERT_TRUE(tool.ok() && tool->has_value());
    EXPECT_EQ(**tool, "#!/bin/sh\necho tool\n");
    EXPECT_EQ(Names(tmpdir_), std::vector<std::string>{});
  }
}

TEST_F(RpmRoadTest, FailuresWrapTheirStepAndLeaveNothing) {
  const std::map<int32_t, std::string> good = {{1000, "zoltool"}, {1001, "2.3"}, {1002, "1"}, {1022, "x86_64"}};
  auto with = [&](int32_t tag, const std::string& value) {
    auto tags = good;
    tags[tag] = value;
    return tags;
  };
  struct Case {
    std::string what, rpm, version, want, arch = "";
  } cases[] = {
      {"not an rpm", "plain text, not a package\n", "", "parse rpm: not an RPM file: invalid magic"},
      {"xz payload", CraftRPM(with(1125, "xz")), "",
       "extract rpm: xz/lzma compressed rpms not yet supported: use rpm2cpio | cpio -id"},
      {"member leaving the tree", CraftRPM(good, "./usr/../../escape"), "",
       "extract rpm: path traversal detected: ./usr/../../escape"},
      {"slash in the version", CraftRPM(good), "1/2", "package version \"1/2\" cannot be part of a file name"},
      // Refused before the payload, whose traversal would fail otherwise.
      {"version install refuses", CraftRPM(good, "./usr/../../escape"), ".",
       "package version \".\" is not usable as a directory name"},
      // The manifest is refused by validation, so no package is written.
      {"ppc64le", CraftRPM(with(1022, "ppc64le")), "", "manifest error: arch: invalid architecture: ppc64le"},
      {"noarch with a bad --arch", CraftRPM(with(1022, "noarch")), "",
       "invalid architecture: i686 (must be x86_64 or aarch64)", "i686"},
  };
  int i = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string num = std::to_string(i++);
    BuildOptions o = ToolBuild(Write("bad" + num + ".rpm", c.rpm), root_ + "/badout" + num);
    o.Version = c.version;
    o.Arch = c.arch;
    auto err = buildFromRPM(o);
    ASSERT_FALSE(err.ok());
    EXPECT_EQ(err.message(), c.want);
    for (const auto& n : Names(o.Output)) EXPECT_EQ(n.find(".zol"), std::string::npos) << n;
    EXPECT_EQ(Names(tmpdir_), std::vector<std::string>{});
    EXPECT_FALSE(util::Exists(root_ + "/escape"));
  }

  BuildOptions missing;
  missing.FromRPM = root_ + "/absent.rpm";
  missing.Output = root_ + "/never";
  EXPECT_EQ(buildFromRPM(missing).message(),
            "parse rpm: read rpm file: open " + root_ + "/absent.rpm: no such file or directory");
  EXPECT_FALSE(util::Exists(root_ + "/never"));
}

// A 32 MiB header store of NULs under a file list claiming two billion names:
// the build reads only the tags it uses, so it costs about the file's size.
// Not built with the sanitizers: their allocator does not run under an address-space limit.
#ifndef __SANITIZE_ADDRESS__
TEST_F(RpmRoadTest, HostileHeaderBuildsUnderAMemoryLimit) {
  std::string index, store;
  uint32_t count = 0;
  auto add = [&](uint32_t tag, uint32_t type, uint32_t n, const std::string& value) {
    index += U32(tag) + U32(type) + U32(static_cast<uint32_t>(store.size())) + U32(n);
    store += value;
    ++count;
  };
  add(1000, 6, 1, "bigheader"s + '\0');
  add(1001, 6, 1, "1.0"s + '\0');
  add(1022, 6, 1, "x86_64"s + '\0');
  add(5001, 8, 0x7fffffff, std::string(32u << 20, '\0'));
  std::string lead = "\xed\xab\xee\xdb\x03"s;
  lead.resize(96, '\0');
  const std::string sig = "\x8e\xad\xe8\x01"s + U32(0) + U32(0) + U32(0);
  const std::string main = "\x8e\xad\xe8\x01"s + U32(0) + U32(count) + U32(static_cast<uint32_t>(store.size())) + index + store;
  const std::string payload = NewcEntry("./usr/bin/tool", "#!/bin/sh\n", 0100755) + NewcEntry("TRAILER!!!", "", 0);
  const BuildOptions o = ToolBuild(Write("big.rpm", lead + sig + main + Gzip(payload)), root_ + "/out");
  store.clear();
  store.shrink_to_fit();
  index.clear();
  auto child = [&] {
    if (!testing::LimitAddressSpace(256u << 20)) std::_Exit(101);
    util::Error e = buildFromRPM(o);
    if (!e.ok()) std::fprintf(stderr, "%s\n", e.message().c_str());
    std::_Exit(e.ok() ? 0 : 1);
  };
  EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
  EXPECT_TRUE(util::Exists(o.Output + "/com.calderim.bigheader_1.0_x86_64.zol"));
}
#endif

TEST_F(RpmRoadTest, DownloadRefusalsRunNothing) {
  const std::string marker = root_ + "/ran";
  const std::string prog = Write("dl.sh", "#!/bin/sh\ntouch '" + marker + "'\n", 0755);
  struct Case {
    std::string name, program;
    std::vector<std::string> args;
    std::string want;
  } cases[] = {
      {"-x", prog, {}, "invalid package name \"-x\": it may not begin with \"-\" or hold \"*\", \"?\", \"[\" or \"\\\""},
      {"--destdir=/etc", prog, {}, ""},
      {"foo*", prog, {}, ""},
      {"fo?", prog, {}, ""},
      {"f[o]", prog, {}, ""},
      {"f\\o", prog, {}, ""},
      {"a;b", prog, {}, "invalid command argument: a;b"},
      {"../x", prog, {}, "invalid command argument: ../x"},
      {"foo", "/bin/x;y", {}, "invalid command path: /bin/x;y"},
      {"foo", "", {}, "command path is empty"},
      {"foo", prog, {"download", "--releasever=9;x"}, "invalid command argument: --releasever=9;x"},
      {"foo", prog, {"a|b"}, "invalid command argument: a|b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ::testing::internal::CaptureStdout();
    auto err = downloadYumPackage(c.name, c.program, c.args);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    ASSERT_FALSE(err.ok());
    if (c.want.empty()) {
      EXPECT_EQ(err.message().rfind("invalid package name " + util::Quote(c.name) + ": ", 0), 0u) << err.message();
    } else {
      EXPECT_EQ(err.message(), c.want);
    }
    EXPECT_FALSE(util::Exists(marker));
  }
}

TEST_F(RpmRoadTest, DownloadRunsTheVectorWithoutInputAndReportsFailure) {
  const std::string log = root_ + "/argv";
  const std::string prog = Write("dl.sh",
                                 "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]' \"$a\"; done > '" + log +
                                     "'\ncat >> '" + log + "'\nexit \"${DL_EXIT:-0}\"\n",
                                 0755);
  // Something waiting on our standard input must not reach the program.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], "leaked", 6), 6);
  ::close(fds[1]);
  int saved = ::dup(0);
  ::dup2(fds[0], 0);
  ::close(fds[0]);

  ::testing::internal::CaptureStdout();
  auto ok = downloadYumPackage("foo bar", prog, {"download", "--destdir", "/d ir", "foo bar", "--releasever=9"});
  std::string out = ::testing::internal::GetCapturedStdout();
  auto argv = util::ReadFile(log);
  ::setenv("DL_EXIT", "3", 1);
  auto failed = downloadYumPackage("foo", prog, {"x"});
  ::unsetenv("DL_EXIT");
  auto absent = downloadYumPackage("foo", root_ + "/none", {});

  ::dup2(saved, 0);
  ::close(saved);
  EXPECT_TRUE(ok.ok()) << ok.message();
  EXPECT_EQ(out, "  [yum] Downloading foo bar from yum repo...\n");
  ASSERT_TRUE(argv.ok());
  EXPECT_EQ(*argv, "[download][--destdir][/d ir][foo bar][--releasever=9]");
  EXPECT_EQ(failed.message(), "download foo: exit status 3\n  Tip: verify the package exists: dnf list foo");
  EXPECT_EQ(absent.message(), "download foo: fork/exec " + root_ +
                                  "/none: no such file or directory\n  Tip: verify the package exists: dnf list foo");
}

TEST_F(RpmRoadTest, FindsTheDownloadByName) {
  struct Case {
    std::vector<std::string> files;
    std::string want;  // empty: nothing found
  } cases[] = {
      {{"foo-1.0-1.x86_64.rpm"}, "foo-1.0-1.x86_64.rpm"},
      {{"foo-1.0-1.x86_64.rpm", "foo-1.0-2.x86_64.rpm", "foo-0.9.noarch.rpm"}, "foo-1.0-2.x86_64.rpm"},
      // The dashed pattern wins over a greater name that only the loose one matches.
      {{"foo-1.rpm", "foox.rpm"}, "foo-1.rpm"},
      {{"foobar-2.rpm"}, "foobar-2.rpm"},
      {{"foo.rpm"}, "foo.rpm"},
      {{"foo-1.rpm.part", "bar-1.rpm", "foo-1.drpm", "foo", "fo.rpm"}, ""},
      {{}, ""},
  };
  int i = 0;
  for (const auto& c : cases) {
    std::string dir = root_ + "/dl" + std::to_string(i++);
    ASSERT_TRUE(util::MkdirAll(dir, 0700).ok());
    for (const auto& f : c.files) ASSERT_TRUE(util::WriteFile(dir + "/" + f, "x", 0644).ok());
    auto got = findDownloadedRPM(dir, "foo");
    if (c.want.empty()) {
      ASSERT_FALSE(got.ok()) << *got;
      EXPECT_EQ(got.error().message(),
                "downloaded .rpm not found in " + dir + " (tried " + dir + "/foo-*.rpm); check dnf output above");
    } else {
      ASSERT_TRUE(got.ok()) << got.error().message();
      EXPECT_EQ(*got, dir + "/" + c.want);
    }
  }
  auto gone = findDownloadedRPM(root_ + "/nodir", "foo");
  ASSERT_FALSE(gone.ok());
  EXPECT_EQ(gone.error().message(), "glob downloaded rpm: open " + root_ + "/nodir: no such file or directory");
}

}  // namespace
}  // namespace builder
