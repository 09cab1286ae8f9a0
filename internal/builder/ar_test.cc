#include "internal/builder/ar.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "internal/builder/deb_testing.h"
#include "internal/util/tempdir.h"

namespace builder {
namespace {

const std::string kMagic = "!<arch>\n";

std::string Pad(std::string s, size_t n) {
  s.resize(n, ' ');
  return s;
}

// A member header with the size field exactly as given (blank padded).
std::string Header(const std::string& name, const std::string& size_field) {
  return Pad(name, 16) + Pad("0", 12) + Pad("0", 6) + Pad("0", 6) + Pad("100644", 8) + Pad(size_field, 10) + "`\n";
}

std::string Member(const std::string& name, const std::string& data, bool pad = true) {
  std::string m = Header(name, std::to_string(data.size())) + data;
  if (pad && data.size() % 2) m += '\n';
  return m;
}

class ArReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto d = util::TempDir::Make("zol-ar-test-");
    ASSERT_TRUE(d.ok());
    dir_ = std::make_unique<util::TempDir>(std::move(*d));
  }
  std::string Write(const std::string& bytes) {
    const std::string path = dir_->path() + "/pkg" + std::to_string(n_++) + ".a";
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  std::unique_ptr<util::TempDir> dir_;
  int n_ = 0;
};

TEST_F(ArReaderTest, MalformedContainersFailWithTheirMessage) {
  struct Case {
    std::string name;
    std::string bytes;
    std::string want;
  } cases[] = {
      {"short file", "!<arch", "not an ar archive"},
      {"wrong magic", "!<arch>X" + Member("a", "x"), "not an ar archive"},
      {"leading blank in size", kMagic + Header("a", " 12") + std::string(12, 'x'), "invalid size in ar header:  12"},
      {"empty size", kMagic + Header("a", ""), "invalid size in ar header: "},
      {"letters in size", kMagic + Header("a", "12a"), "invalid size in ar header: 12a"},
      {"bare sign", kMagic + Header("a", "+"), "invalid size in ar header: +"},
      {"double sign", kMagic + Header("a", "-+1"), "invalid size in ar header: -+1"},
      {"ten digits", kMagic + Header("a", "9999999999"), "ar entry a exceeds size limit"},
      {"negative size", kMagic + Header("a", "-1"), "ar entry a exceeds size limit"},
      {"one over the limit", kMagic + Header("big/", "104857601"), "ar entry big exceeds size limit"},
      {"past the end", kMagic + Header("a", "10") + "short", "ar entry a exceeds file bounds"},
      {"second member cut", kMagic + Member("a", "x") + Header("b", "4") + "xy", "ar entry b exceeds file bounds"},
  };
  for (const auto& c : cases) {
    auto got = ParseAr(Write(c.bytes));
    ASSERT_FALSE(got.ok()) << c.name;
    EXPECT_EQ(got.error().message(), c.want) << c.name;
  }
}

TEST_F(ArReaderTest, MissingFileKeepsTheSystemError) {
  auto got = ParseAr(dir_->path() + "/absent.deb");
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error().message(), "read ar file: open " + dir_->path() + "/absent.deb: no such file or directory");
}

TEST_F(ArReaderTest, ReadsMembersWithTheirQuirks) {
  // Odd sizes with and without padding, a "+" size, trimmed names, "/" and
  // "//" tables under the empty name, a duplicate replacing the first, and a
  // short tail ignored.
  const std::string bytes = kMagic + Member("debian-binary", "2.0\n") + Member("odd/", "abc") +
                            Header("plus   ", "+2") + "pp" + Member("/", "sym") + Member("//", "longnames") +
                            Member("dup", "first") + Member("dup", "second") + Member("last", "xyz", false) +
                            "short tail";
  auto got = ParseAr(Write(bytes));
  ASSERT_TRUE(got.ok()) << got.error().message();
  std::vector<std::string> seen;
  for (const auto& [name, f] : *got) {
    EXPECT_EQ(name, f.Name);
    EXPECT_EQ(f.Size, static_cast<int64_t>(f.Data.size()));
    seen.push_back(name + "=" + f.Data);
  }
  // The short tail after the unpadded odd member is shorter than a header.
  EXPECT_EQ(seen, (std::vector<std::string>{"=longnames", "debian-binary=2.0\n", "dup=second", "last=xyz",
                                            "odd=abc", "plus=pp"}));

  auto empty = ParseAr(Write(kMagic));
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty->empty());
}

TEST_F(ArReaderTest, SizeLimitIsInclusive) {
  const std::string path = dir_->path() + "/big.a";
  {
    std::ofstream f(path, std::ios::binary);
    f << kMagic << Header("big", std::to_string(kArMemberLimit));
  }
  // The data is a hole: the size is what matters here, not the content.
  ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(kMagic.size() + 60 + kArMemberLimit)), 0);
  auto got = ParseAr(path);
  ASSERT_TRUE(got.ok()) << got.error().message();
  EXPECT_EQ(got->at("big").Size, kArMemberLimit);
  EXPECT_EQ(got->at("big").Data.size(), static_cast<size_t>(kArMemberLimit));
}

// A container larger than the memory at hand fails as a read error; it must
// not end the process, which would leave the build directory behind.
// Not built with the sanitizers: their allocator ends the process instead of failing the allocation.
#ifndef __SANITIZE_ADDRESS__
TEST_F(ArReaderTest, FileLargerThanMemoryFailsAsARead) {
  const std::string path = dir_->path() + "/huge.deb";
  {
    std::ofstream f(path, std::ios::binary);
    f << kMagic << Header("debian-binary", "4") << "2.0\n";
  }
  // A hole of 1 TiB: nothing is written to disk.
  ASSERT_EQ(truncate(path.c_str(), off_t{1} << 40), 0);
  auto child = [&] {
    // Bounded address space, so the outcome does not hang on how much the
    // machine would overcommit.
    if (!testing::LimitAddressSpace(256u << 20)) std::_Exit(101);
    auto got = ParseAr(path);
    const bool want = !got.ok() && got.error().message() == "read ar file: read " + path + ": cannot allocate memory";
    if (!want) std::fprintf(stderr, "got %s\n", got.ok() ? "members" : got.error().message().c_str());
    std::fflush(stderr);
    std::_Exit(want ? 0 : 1);
  };
  EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
}  // namespace builder
