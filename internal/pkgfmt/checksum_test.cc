#include "internal/pkgfmt/checksum.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "internal/pkgfmt/crypto_testing.h"
#include "internal/util/fd.h"

namespace pkgfmt {
namespace {

using testing::Shell;
using testing::Slurp;
using testing::Spit;

class Checksum : public testing::ScratchDir {};

TEST_F(Checksum, FileDigestsEqualSha256sum) {
  // Sizes around the read buffer catch a lost or doubled tail chunk.
  const size_t sizes[] = {0, 1, 64, 256 * 1024 - 1, 256 * 1024, 256 * 1024 + 1, 3 * 256 * 1024 + 17};
  for (size_t size : sizes) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + i / 7) & 0xff);
    // Not "f" + std::to_string(size): a false -Wrestrict from GCC 12 at -O3.
    std::string path = Path("f").append(std::to_string(size));
    Spit(path, data);
    std::string want = Shell("sha256sum '" + path + "'").substr(0, 64);
    util::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd.valid());
    auto got = ComputeFileChecksum(fd.get(), path);
    ASSERT_TRUE(got.ok()) << got.error().message();
    EXPECT_EQ(*got, want) << size;
    EXPECT_EQ(computeBytesChecksum(data), want);
  }
}

TEST_F(Checksum, SidecarWrittenFromDigestMatchesSha256sumCheck) {
  std::string pkg = Path("app-1.0-x86_64.zol");
  Spit(pkg, "package bytes");
  const std::string digest = computeBytesChecksum(Slurp(pkg));
  Spit(ChecksumSidecarPath(pkg), digest + "\n");
  EXPECT_EQ(Slurp(pkg + ".sha256"), Shell("cd '" + Dir() + "' && sha256sum app-1.0-x86_64.zol").substr(0, 64) + "\n");
  EXPECT_TRUE(VerifyFileChecksum(pkg, digest).ok());
}

TEST_F(Checksum, VerifyFileChecksumCases) {
  std::string pkg = Path("p.zol");
  Spit(pkg, "abc");
  const std::string good = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  std::string upper = good;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  struct Case {
    std::string path, expected, error;
  } cases[] = {
      {pkg, good, ""},
      // An empty sidecar means "nothing to check"; the file is not opened.
      {Path("missing.zol"), "", ""},
      {pkg, upper, "checksum mismatch for " + pkg + ": expected " + upper + ", got " + good},
      {pkg, good.substr(1), "checksum mismatch for " + pkg + ": expected " + good.substr(1) + ", got " + good},
      {Path("missing.zol"), good, "open file: open " + Path("missing.zol") + ": no such file or directory"},
      {Dir(), good, "hash file: read " + Dir() + ": is a directory"},
  };
  for (const Case& c : cases) {
    util::Error e = VerifyFileChecksum(c.path, c.expected);
    EXPECT_EQ(e.message(), c.error) << c.path << " " << c.expected;
  }
}

}  // namespace
}  // namespace pkgfmt
