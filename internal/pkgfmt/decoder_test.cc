#include "internal/pkgfmt/decoder.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "internal/pkgfmt/codec_testing.h"

namespace pkgfmt {
namespace {

using namespace std::string_literals;

// Data that compresses but not to nothing, so cuts land inside real blocks.
std::string Sample(size_t n) {
  std::string s;
  uint32_t x = 12345;
  while (s.size() < n) {
    x = x * 1103515245 + 12345;
    s += "line " + std::to_string(x % 1000) + "\n";
  }
  s.resize(n);
  return s;
}

util::Result<std::unique_ptr<ByteReader>> Open(const std::string& data) {
  switch (SniffCodec(data)) {
    case Codec::kGzip: return NewGzipReader(data);
    case Codec::kXz: return NewXzReader(data);
    case Codec::kBzip2: return NewBzip2Reader(data);
    case Codec::kZstd: return NewZstdReader(data);
    case Codec::kNone: return NewPlainReader(data);
  }
  return util::Error::Msg("unreachable");
}

TEST(SniffCodec, LeadingBytesInOrder) {
  struct Case {
    std::string data;
    Codec want;
  } cases[] = {
      {"\x1f\x8b"s, Codec::kGzip},
      {"\xfd" "7zXZ\0rest"s, Codec::kXz},
      {"BZh91AY"s, Codec::kBzip2},
      {"\x28\xb5\x2f\xfd"s, Codec::kZstd},
      // Too short for a magic: falls through to plain tar.
      {"\x1f"s, Codec::kNone},
      {"\xfd" "7zXZ"s, Codec::kNone},
      {"BZ"s, Codec::kNone},
      {"\x28\xb5\x2f"s, Codec::kNone},
      {""s, Codec::kNone},
      // The legacy lzma format has no magic of its own.
      {"\x5d\x00\x00\x80\x00"s, Codec::kNone},
  };
  for (const auto& c : cases) EXPECT_EQ(SniffCodec(c.data), c.want) << c.data.size();
}

TEST(Decoders, RoundTripWithAnyReadSize) {
  const std::string plain = Sample(300000);
  for (const auto& codec : Codecs()) {
    const std::string packed = codec.compress(plain);
    for (size_t piece : {size_t{1}, size_t{7}, size_t{65536}, size_t{1} << 20}) {
      if (piece == 1 && plain.size() > 50000 && std::string(codec.name) != "gzip") continue;
      auto r = Open(packed);
      ASSERT_TRUE(r.ok()) << codec.name << ": " << r.error().message();
      auto got = ReadAll(**r, piece);
      ASSERT_TRUE(got.ok()) << codec.name << " piece " << piece << ": " << got.error().message();
      EXPECT_EQ(*got, plain) << codec.name << " piece " << piece;
    }
  }
}

TEST(Decoders, TruncatedStreamIsNeverACleanEnd) {
  const std::string plain = Sample(100000);
  for (const auto& codec : Codecs()) {
    const std::string packed = codec.compress(plain);
    for (size_t cut : {packed.size() - 1, packed.size() - 4, packed.size() / 2, size_t{20}}) {
      const std::string cut_data = packed.substr(0, cut);  // must outlive the reader
      auto r = Open(cut_data);
      if (!r.ok()) continue;  // a header cut short fails on opening, also fine
      auto got = ReadAll(**r, 4096);
      EXPECT_FALSE(got.ok()) << codec.name << " cut at " << cut << " read as " << got->size() << " bytes";
    }
  }
}

TEST(Decoders, ConcatenatedMembersReadAsOneStream) {
  for (const auto& codec : Codecs()) {
    const std::string packed = codec.compress("first part\n") + codec.compress("second part\n");
    auto r = Open(packed);
    ASSERT_TRUE(r.ok()) << codec.name;
    auto got = ReadAll(**r, 3);
    ASSERT_TRUE(got.ok()) << codec.name << ": " << got.error().message();
    EXPECT_EQ(*got, "first part\nsecond part\n") << codec.name;
  }
}

TEST(Decoders, DamagedHeaderFailsOnOpening) {
  std::string gz = Gzip("hello");
  struct Case {
    std::string name;
    std::string data;
    std::string want;
  } cases[] = {
      {"gzip method", "\x1f\x8b\x07"s + gz.substr(3), "gzip: invalid header"},
      {"gzip reserved flag", gz.substr(0, 3) + "\x20"s + gz.substr(4), "gzip: invalid header"},
      {"gzip short", "\x1f\x8b\x08\x00"s, "unexpected EOF"},
      {"gzip name unterminated", "\x1f\x8b\x08\x08\0\0\0\0\0\x03name"s, "unexpected EOF"},
      {"gzip bad header crc", "\x1f\x8b\x08\x02\0\0\0\0\0\x03\x12\x34"s, "gzip: invalid header"},
  };
  for (const auto& c : cases) {
    auto r = NewGzipReader(c.data);
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_EQ(r.error().message(), c.want) << c.name;
  }
  std::string xz = Xz("hello");
  xz[7] ^= 0x01;  // stream flags no longer match the header's CRC32
  auto r = NewXzReader(xz);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "xz: stream header checksum mismatch");
}

TEST(Decoders, CorruptDataFailsWhenRead) {
  const std::string plain = Sample(50000);
  for (const auto& codec : Codecs()) {
    std::string packed = codec.compress(plain);
    packed[packed.size() / 2] ^= 0x55;
    auto r = Open(packed);
    ASSERT_TRUE(r.ok()) << codec.name;
    auto got = ReadAll(**r, 4096);
    EXPECT_FALSE(got.ok() && *got == plain) << codec.name;
    EXPECT_FALSE(got.ok()) << codec.name;
  }
}

TEST(ReadFull, CleanEndOnlyBeforeTheFirstByte) {
  auto r = NewPlainReader("abc");
  char buf[4];
  bool end = true;
  ASSERT_TRUE(ReadFull(*r, buf, 2, &end).ok());
  EXPECT_FALSE(end);
  EXPECT_EQ(ReadFull(*r, buf, 2, &end).message(), "unexpected EOF");
  ASSERT_TRUE(ReadFull(*r, buf, 2, &end).ok());
  EXPECT_TRUE(end);
  EXPECT_EQ(ReadFull(*r, buf, 2).message(), "unexpected EOF");
}

}  // namespace
}  // namespace pkgfmt
