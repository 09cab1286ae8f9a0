#include "internal/pkgfmt/tar_writer.h"

#include "internal/pkgfmt/gzip_sink.h"
#include "internal/pkgfmt/gzip_testing.h"

#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace pkgfmt {
namespace {


// The NUL-terminated text of a header field.
std::string Field(const std::string& blk, size_t off, size_t size) {
  std::string f = blk.substr(off, size);
  return f.substr(0, f.find('\0'));
}

TarHeader Reg(std::string name, int64_t size) {
  TarHeader h;
  h.name = std::move(name);
  h.type = kTypeReg;
  h.mode = 0644;
  h.size = size;
  h.mtime = 1700000000;
  h.uname = "root";
  h.gname = "root";
  return h;
}

TEST(GzipSink, HeaderHasNoNameNoTimeAndTheStreamRoundTrips) {
  struct Case {
    int level;
    unsigned char xfl;
  } cases[] = {{Z_DEFAULT_COMPRESSION, 0}, {Z_BEST_SPEED, 4}};
  std::string input;
  for (int i = 0; i < 100000; ++i) input += std::to_string(i * 7919 % 1000);
  for (const Case& c : cases) {
    MemorySink mem;
    auto gz = GzipSink::Make(&mem, c.level);
    ASSERT_TRUE(gz.ok());
    // Several writes, one of them empty.
    ASSERT_TRUE((*gz)->Write(input.data(), 10).ok());
    ASSERT_TRUE((*gz)->Write(input.data(), 0).ok());
    ASSERT_TRUE((*gz)->Write(input.data() + 10, input.size() - 10).ok());
    ASSERT_TRUE((*gz)->Close().ok());
    const std::string& out = mem.data();
    const unsigned char want[10] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, c.xfl, 255};
    ASSERT_GE(out.size(), 18u);
    EXPECT_EQ(std::memcmp(out.data(), want, 10), 0) << "flags 0: no name; mtime 0";
    EXPECT_EQ(InflateOneMember(out), input);
    EXPECT_FALSE((*gz)->Write("x", 1).ok()) << "no writes after the trailer";
  }
}

TEST(HashingSink, DigestsWhatPassesThrough) {
  MemorySink mem;
  auto h = HashingSink::Make(&mem);
  ASSERT_TRUE(h.ok());
  ASSERT_TRUE((*h)->Write("a", 1).ok());
  ASSERT_TRUE((*h)->Write("bc", 2).ok());
  auto d = (*h)->HexDigest();
  ASSERT_TRUE(d.ok());
  EXPECT_EQ(*d, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(mem.data(), "abc");
}

TEST(TarWriter, UstarHeaderBytesAndEndBlocks) {
  MemorySink mem;
  TarWriter tw(&mem);
  TarHeader h = Reg("dir/file", 5);
  h.mode = 04755;
  ASSERT_TRUE(tw.WriteHeader(h).ok());
  ASSERT_TRUE(tw.WriteData("hello", 5).ok());
  ASSERT_TRUE(tw.Close().ok());
  const std::string& t = mem.data();
  ASSERT_EQ(t.size(), 512u * 4) << "header, one padded data block, two end blocks";
  std::string blk = t.substr(0, 512);
  EXPECT_EQ(Field(blk, 0, 100), "dir/file");
  EXPECT_EQ(blk.substr(100, 8), std::string("0004755\0", 8));
  EXPECT_EQ(blk.substr(124, 12), std::string("00000000005\0", 12));
  EXPECT_EQ(blk.substr(136, 12), std::string("14524770400\0", 12));
  EXPECT_EQ(blk[156], '0');
  EXPECT_EQ(blk.substr(257, 8), std::string("ustar\0" "00", 8));
  EXPECT_EQ(Field(blk, 265, 32), "root");
  EXPECT_EQ(blk.substr(329, 8), std::string("0000000\0", 8));
  unsigned sum = 0;
  for (size_t i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(blk[i]);
  char ck[8];
  std::snprintf(ck, sizeof ck, "%06o", sum);
  EXPECT_EQ(blk.substr(148, 8), std::string(ck, 6) + std::string("\0 ", 2));
  EXPECT_EQ(t.substr(512, 5), "hello");
  EXPECT_EQ(t.substr(517), std::string(512 - 5 + 1024, '\0'));
}

TEST(TarWriter, PaxRecordsOnlyWhereUstarCannotHoldAField) {
  const std::string long_dir(120, 'd');
  const std::string unsplittable(101, 'n');
  const std::string eacute = "\xc3\xa9";
  // 91 bytes of value: "98" + 98 bytes would be 100, so the length field
  // grows to three digits and the record to 101 bytes.
  const std::string boundary = eacute + std::string(89, 'b');
  struct Case {
    const char* what;
    TarHeader h;
    std::string records;  // "" when plain ustar
    std::string ustar_name;
    std::string ustar_prefix;
  } cases[] = {
      {"100-byte name", Reg(std::string(100, 'a'), 0), "", std::string(100, 'a'), ""},
      {"split at a slash", Reg(long_dir + "/file", 0), "", "file", long_dir},
      {"no slash to split at", Reg(unsplittable, 0), "111 path=" + unsplittable + "\n", std::string(100, 'n'), ""},
      {"non-ASCII name", Reg("caf" + eacute, 0), "14 path=caf" + eacute + "\n", "caf", ""},
      {"record length crosses a digit", Reg(boundary, 0), "101 path=" + boundary + "\n", std::string(89, 'b'), ""},
      {"long user name", [] { TarHeader h = Reg("f", 0); h.uname = std::string(33, 'u'); return h; }(),
       "43 uname=" + std::string(33, 'u') + "\n", "f", ""},
      {"uid beyond octal", [] { TarHeader h = Reg("f", 0); h.uid = 2097152; return h; }(), "15 uid=2097152\n", "f", ""},
      {"time before 1970", [] { TarHeader h = Reg("f", 0); h.mtime = -5; return h; }(), "12 mtime=-5\n", "f", ""},
      {"two fields, keys sorted",
       [] { TarHeader h = Reg("f", 0); h.gid = 2097152; h.gname = std::string(33, 'g'); return h; }(),
       "15 gid=2097152\n43 gname=" + std::string(33, 'g') + "\n", "f", ""},
  };
  for (const Case& c : cases) {
    MemorySink mem;
    TarWriter tw(&mem);
    ASSERT_TRUE(tw.WriteHeader(c.h).ok()) << c.what;
    const std::string& t = mem.data();
    std::string main = t.substr(0, 512);
    if (c.records.empty()) {
      ASSERT_EQ(t.size(), 512u) << c.what;
    } else {
      ASSERT_EQ(t[156], 'x') << c.what;
      size_t padded = (c.records.size() + 511) / 512 * 512;
      ASSERT_EQ(t.size(), 512 + padded + 512) << c.what;
      EXPECT_EQ(t.substr(512, c.records.size()), c.records) << c.what;
      main = t.substr(512 + padded, 512);
    }
    EXPECT_EQ(main[156], '0') << c.what;
    EXPECT_EQ(Field(main, 0, 100), c.ustar_name) << c.what;
    EXPECT_EQ(Field(main, 345, 155), c.ustar_prefix) << c.what;
  }
}

TEST(TarWriter, RefusesContentThatDoesNotMatchTheHeader) {
  {
    MemorySink mem;
    TarWriter tw(&mem);
    ASSERT_TRUE(tw.WriteHeader(Reg("f", 2)).ok());
    EXPECT_EQ(tw.WriteData("abc", 3).message(), "tar: write too long");
    EXPECT_FALSE(tw.Close().ok()) << "a failed writer stays failed";
  }
  {
    MemorySink mem;
    TarWriter tw(&mem);
    ASSERT_TRUE(tw.WriteHeader(Reg("f", 5)).ok());
    ASSERT_TRUE(tw.WriteData("ab", 2).ok());
    EXPECT_EQ(tw.Close().message(), "tar: missed writing 3 bytes");
  }
  {
    MemorySink mem;
    TarWriter tw(&mem);
    EXPECT_FALSE(tw.WriteHeader(Reg(std::string("a\0b", 3), 0)).ok());
  }
}

}  // namespace
}  // namespace pkgfmt
