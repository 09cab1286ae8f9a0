#include "internal/builder/validate.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <string>

namespace builder {
namespace {

using std::string_literals::operator""s;

TEST(Validators, CommandPathsAndArguments) {
  struct Case {
    std::string value;
    std::string binary_err;  // "" = passes
    std::string arg_err;
  };
  const Case cases[] = {
      {"", "command path is empty", ""},
      {"/usr/bin/dnf", "", ""},
      {"a b 'q' \"q\" * ?", "", ""},
      {"nul\0inside"s, "", ""},
      {"--releasever=$x", "invalid command path: --releasever=$x", "invalid command argument: --releasever=$x"},
      {"1..2", "invalid command path: 1..2", "invalid command argument: 1..2"},
      {"../x", "invalid command path: ../x", "invalid command argument: ../x"},
      {"a`b", "invalid command path: a`b", "invalid command argument: a`b"},
      {"a;b", "invalid command path: a;b", "invalid command argument: a;b"},
      {"a&b", "invalid command path: a&b", "invalid command argument: a&b"},
      {"a|b", "invalid command path: a|b", "invalid command argument: a|b"},
      {"a>b", "invalid command path: a>b", "invalid command argument: a>b"},
      {"a<b", "invalid command path: a<b", "invalid command argument: a<b"},
      {"a\nb", "invalid command path: a\nb", "invalid command argument: a\nb"},
      {"a\rb", "invalid command path: a\rb", "invalid command argument: a\rb"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(validateCommandBinary(c.value).message(), c.binary_err);
    EXPECT_EQ(validateCommandArg(c.value).message(), c.arg_err);
  }
}

TEST(Validators, ArgsStopAtFirstRefusal) {
  EXPECT_TRUE(validateCommandArgs({"download", "--destdir", "/tmp", ""}).ok());
  EXPECT_EQ(validateCommandArgs({"ok", "a;b", "c$d"}).message(), "invalid command argument: a;b");
}

TEST(Arch, IndependentPackagesTakeTheRequestOrTheHost) {
  EXPECT_EQ(*HostPackageArch("x86_64"), "x86_64");
  EXPECT_EQ(*HostPackageArch("aarch64"), "aarch64");
  for (const char* other : {"armv7l", "riscv64", "i686", ""}) {
    EXPECT_EQ(HostPackageArch(other).error().message(),
              std::string("host architecture ") + other +
                  " is neither x86_64 nor aarch64: give --arch x86_64 or --arch aarch64");
  }
  EXPECT_EQ(*IndependentArch("aarch64"), "aarch64");
  EXPECT_EQ(*IndependentArch("x86_64"), "x86_64");
  for (const char* bad : {"amd64", "arm64", "X86_64", "aarch64 ", "noarch"}) {
    EXPECT_EQ(IndependentArch(bad).error().message(),
              std::string("invalid architecture: ") + bad + " (must be x86_64 or aarch64)");
  }
  struct utsname u;
  ASSERT_EQ(::uname(&u), 0);
  auto host = IndependentArch("");
  if (IsPackageArch(u.machine)) {
    EXPECT_EQ(*host, u.machine);
  } else {
    EXPECT_FALSE(host.ok());
  }
}

TEST(Validators, FilesystemPaths) {
  const std::pair<std::string, std::string> cases[] = {
      {"/srv/rootfs", ""},
      {"/srv/root fs", ""},
      {"rootfs", "path must be absolute: rootfs"},
      {"", "path must be absolute: "},
      {"/srv/a;b", "invalid filesystem path: /srv/a;b"},
      {"/srv/../etc", "invalid filesystem path: /srv/../etc"},
      {"rel;x", "invalid filesystem path: rel;x"},
  };
  for (const auto& [path, want] : cases) {
    SCOPED_TRACE(path);
    EXPECT_EQ(validateFilesystemPath(path).message(), want);
  }
}

TEST(PackagePath, NamesOneFileInOutput) {
  auto p = PackagePath("./dist", "com.calderim.tools", "1.0.0", "aarch64");
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(*p, "dist/com.calderim.tools_1.0.0_aarch64.zol");
  auto epoch = PackagePath("/out", "org.example.t", "1:2.0-3", "x86_64");
  ASSERT_TRUE(epoch.ok());
  EXPECT_EQ(*epoch, "/out/org.example.t_1:2.0-3_x86_64.zol");

  const std::string bad[][3] = {
      {"com.calderim../x", "1", "aarch64"},
      {"id", "1/2", "aarch64"},
      {"id", "1", "aarch64/.."},
      {"id", "1\0"s, "aarch64"},
  };
  for (const auto& b : bad) {
    auto r = PackagePath("/out", b[0], b[1], b[2]);
    EXPECT_FALSE(r.ok()) << b[0] << " " << b[1] << " " << b[2];
  }
  EXPECT_EQ(PackagePath("/out", "id", "1/2", "aarch64").error().message(),
            "package version \"1/2\" cannot be part of a file name");
}

}  // namespace
}  // namespace builder

namespace builder {
namespace {

TEST(CheckInstallNames, WhatInstallRefuses) {
  struct Case {
    std::string id, version, base;
    bool is_base;
    std::string want;  // "" = passes
  };
  const Case cases[] = {
      {"com.calderim.tools", "1:2.0~rc1", "ubuntu24.04", false, ""},
      {"com.calderim.base.ubuntu24.04-x86_64", "1.0.0", "ubuntu24.04", true, ""},
      // "--from-dir ." names the application "."
      {"com.calderim..", "1.0.0", "ubuntu24.04", false,
       "package id \"com.calderim..\" is not usable as a directory name"},
      {"org.example.t", ".", "ubuntu24.04", false, "package version \".\" is not usable as a directory name"},
      {"org.example.t", "1\\2", "ubuntu24.04", false, "package version \"1\\\\2\" is not usable as a directory name"},
      {"org.example.t", "1", "", false, "package base \"\" is not usable as a directory name"},
      {"org.example.t", "1", "..", false, "package base \"..\" is not usable as a directory name"},
      {"org.example.t", "1", "a\0b"s, false, "package base \"a\\x00b\" is not usable as a directory name"},
      {"base.tool", "1", "ubuntu24.04", false,
       "package id \"base.tool\": application ids may not begin with \"base.\" or \"com.calderim.base.\""},
      {"com.calderim.base.x", "1", "ubuntu24.04", false,
       "package id \"com.calderim.base.x\": application ids may not begin with \"base.\" or \"com.calderim.base.\""},
      {"com.calderim.basement", "1", "ubuntu24.04", false, ""},
      // Names of trees in transit beside an installed version.
      {"org.example.t", "1.0.installing", "ubuntu24.04", false,
       "package version \"1.0.installing\" is not usable as a directory name"},
      {"org.example.t", "1.0.replaced-Ab12cD", "ubuntu24.04", false,
       "package version \"1.0.replaced-Ab12cD\" is not usable as a directory name"},
      {"org.example.t", "1.0.removing-x", "ubuntu24.04", false,
       "package version \"1.0.removing-x\" is not usable as a directory name"},
      {"org.example.t", "1.0.replaced", "ubuntu24.04", false, ""},
      {"com.calderim.base..-aarch64", "1.0.0", ".", true,
       "package id \"com.calderim.base..-aarch64\" is not usable as a directory name"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id + " " + c.version + " " + c.base);
    EXPECT_EQ(CheckInstallNames(c.id, c.version, c.base, c.is_base).message(), c.want);
  }
}

}  // namespace
}  // namespace builder
