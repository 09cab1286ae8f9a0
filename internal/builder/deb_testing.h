// Test helpers that make packages in memory: tar members written with
// libarchive (tar_testing.h), gzip over zlib, the ar container of a Debian package and the
// newc members of an RPM payload; and a bound on the address space, for
// hostile input that must not cost unbounded memory.
#pragma once

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "internal/pkgfmt/gzip_testing.h"
#include "internal/pkgfmt/tar_testing.h"
#include "internal/util/strings.h"
#include "internal/util/tempdir.h"

namespace builder::testing {

using pkgfmt::testing::Member;
using pkgfmt::testing::Tar;
using pkgfmt::testing::TarDir;
using pkgfmt::testing::TarFile;
using pkgfmt::testing::TarHard;
using pkgfmt::testing::TarLink;

inline std::string Gzip(const std::string& in) { return pkgfmt::GzipOneStream(in); }

// An ar container; a member's size field is written as given when
// `size_field` is set, else as the data's length.
struct ArMember {
  std::string name;
  std::string data;
  const char* size_field = nullptr;
};

inline std::string Ar(const std::vector<ArMember>& members) {
  std::string out = "!<arch>\n";
  for (const auto& m : members) {
    char header[61];
    const std::string size = m.size_field ? m.size_field : std::to_string(m.data.size());
    std::snprintf(header, sizeof header, "%-16s%-12s%-6s%-6s%-8s%-10s`\n", m.name.c_str(), "0", "0", "0", "100644",
                  size.c_str());
    out.append(header, 60);
    out += m.data;
    if (m.data.size() % 2) out += '\n';
  }
  return out;
}

inline std::string ControlTar(const std::string& control) { return Gzip(Tar({TarFile("./control", control)})); }

// A whole package: debian-binary, control.tar.gz, and the data member as
// given (already compressed or plain).
inline std::string Deb(const std::string& control, const std::string& data_member) {
  return Ar({{"debian-binary", "2.0\n"}, {"control.tar.gz", ControlTar(control)}, {"data.tar.gz", data_member}});
}

// A big-endian 32-bit field, as RPM headers hold them.
inline std::string U32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

// One newc member (a regular file unless mode says otherwise): inode 1, one
// link, owner 0.
inline std::string NewcEntry(const std::string& name, const std::string& data, uint32_t mode = 0100644) {
  auto hex = [](uint32_t v) { return util::Sprintf("%08x", v); };
  const std::string n = name + '\0';
  std::string e = "070701" + hex(1) + hex(mode) + hex(0) + hex(0) + hex(1) + hex(0) +
                  hex(static_cast<uint32_t>(data.size())) + hex(0) + hex(0) + hex(0) + hex(0) +
                  hex(static_cast<uint32_t>(n.size())) + hex(0) + n;
  e.resize((e.size() + 3) / 4 * 4, '\0');
  e += data;
  e.resize((e.size() + 3) / 4 * 4, '\0');
  return e;
}

// A test with a fresh temporary directory of its own (removed afterwards),
// run under umask 022 so that modes come out as recorded.
class TempDirTest : public ::testing::Test {
 protected:
  explicit TempDirTest(const char* prefix) : prefix_(prefix) {}
  void SetUp() override {
    ::umask(022);
    auto d = util::TempDir::Make(prefix_);
    ASSERT_TRUE(d.ok()) << d.error().message();
    tmp_ = std::make_unique<util::TempDir>(std::move(*d));
  }
  std::string Path(const std::string& rel) const { return tmp_->path() + "/" + rel; }

  const char* prefix_;
  std::unique_ptr<util::TempDir> tmp_;
};

// Bounds this process's address space to what it uses now plus extra_bytes,
// so that a test run in a child of its own fails instead of taking the
// machine's memory; false when the bound could not be set.
inline bool LimitAddressSpace(size_t extra_bytes) {
  long vm_kb = 0;
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmSize:", 0) == 0) vm_kb = std::stol(line.substr(7));
  }
  struct rlimit rl;
  rl.rlim_cur = rl.rlim_max = static_cast<rlim_t>(vm_kb) * 1024 + extra_bytes;
  return vm_kb != 0 && setrlimit(RLIMIT_AS, &rl) == 0;
}

}  // namespace builder::testing
