#include "internal/pkgfmt/decoder.h"

#include <archive.h>
#include <archive_entry.h>
#include <bzlib.h>
#include <gtest/gtest.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <functional>
#include <string>
#include <vector>

#include "internal/pkgfmt/gzip_testing.h"
#include "internal/pkgfmt/tar_reader.h"
#include "internal/pkgfmt/tar_testing.h"

namespace pkgfmt {
namespace {

using namespace std::string_literals;

std::string Gzip(const std::string& in) { return GzipOneStream(in); }

std::string Xz(const std::string& in) {
  std::string out(lzma_stream_buffer_bound(in.size()), '\0');
  size_t pos = 0;
  EXPECT_EQ(lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr, reinterpret_cast<const uint8_t*>(in.data()),
                                    in.size(), reinterpret_cast<uint8_t*>(out.data()), &pos, out.size()),
            LZMA_OK);
  out.resize(pos);
  return out;
}

std::string Bzip2(const std::string& in) {
  unsigned len = static_cast<unsigned>(in.size() + in.size() / 100 + 600);
  std::string out(len, '\0');
  EXPECT_EQ(BZ2_bzBuffToBuffCompress(out.data(), &len, const_cast<char*>(in.data()),
                                     static_cast<unsigned>(in.size()), 9, 0, 0),
            BZ_OK);
  out.resize(len);
  return out;
}

std::string Zstd(const std::string& in) {
  std::string out(ZSTD_compressBound(in.size()), '\0');
  const size_t n = ZSTD_compress(out.data(), out.size(), in.data(), in.size(), 3);
  EXPECT_FALSE(ZSTD_isError(n));
  out.resize(n);
  return out;
}

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

util::Result<std::string> ReadAll(ByteReader& r, size_t piece) {
  std::string out;
  std::vector<char> buf(piece);
  for (;;) {
    auto n = r.Read(buf.data(), buf.size());
    if (!n.ok()) return n.error();
    if (*n == 0) return out;
    out.append(buf.data(), *n);
  }
}

struct Codec_ {
  const char* name;
  std::function<std::string(const std::string&)> compress;
};

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

const std::vector<Codec_>& Codecs() {
  static const std::vector<Codec_> codecs = {
      {"gzip", Gzip}, {"xz", Xz}, {"bzip2", Bzip2}, {"zstd", Zstd}};
  return codecs;
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

using testing::Member;
using testing::Tar;

TEST(TarReader, ReadsEntriesOfEveryDialect) {
  const std::string long_name = std::string(150, 'd') + "/" + std::string(120, 'f');
  const std::vector<Member> members = {
      {"./usr/", AE_IFDIR, "", 0755},
      {"./usr/bin/tool", AE_IFREG, "#!/bin/sh\n", 04755},
      {"./usr/bin/link", AE_IFLNK, "tool", 0777},
      {"./usr/bin/hard", AE_IFREG, "./usr/bin/tool", 0755, true},
      {long_name, AE_IFREG, "deep", 0600},
      {"./fifo", AE_IFIFO, "", 0644},
      {"./caf\xc3\xa9/\xe6\x96\x87", AE_IFREG, "utf-8", 0644},
  };
  for (int format : {ARCHIVE_FORMAT_TAR_PAX_RESTRICTED, ARCHIVE_FORMAT_TAR_GNUTAR}) {
    const std::string tar = Tar(members, format);
    for (const auto& codec : Codecs()) {
      const std::string packed = codec.compress(tar);
      auto r = OpenTarInMemory(packed);
      ASSERT_TRUE(r.ok()) << r.error().message();
      TarMember e;
      std::vector<std::string> seen;
      for (;;) {
        auto more = (*r)->Next(&e);
        ASSERT_TRUE(more.ok()) << more.error().message();
        if (!*more) break;
        auto data = ReadAll(**r, 5);
        ASSERT_TRUE(data.ok());
        seen.push_back(e.name + "|" + std::to_string(static_cast<int>(e.kind)) + "|" + e.linkname + "|" +
                       std::to_string(e.mode) + "|" + *data);
      }
      const std::vector<std::string> want = {
          "./usr/|1||493|",
          "./usr/bin/tool|0||2541|#!/bin/sh\n",
          "./usr/bin/link|2|tool|511|",
          "./usr/bin/hard|3|./usr/bin/tool|493|",
          long_name + "|0||384|deep",
          "./fifo|4||420|",
          "./caf\xc3\xa9/\xe6\x96\x87|0||420|utf-8",
      };
      EXPECT_EQ(seen, want) << codec.name << " format " << format;
    }
  }
}

TEST(TarReader, StreamEndsAndFailures) {
  const std::string tar = Tar({{"a", AE_IFREG, std::string(3000, 'x')}, {"b", AE_IFREG, "y"}});
  struct Case {
    std::string name;
    std::string data;
    bool open_ok;
    std::string want;  // "" means a clean end after the entries
  } cases[] = {
      {"empty stream", "", true, ""},
      {"gzip of nothing", Gzip(""), true, ""},
      {"only end blocks", std::string(1024, '\0'), true, ""},
      {"cut inside data", tar.substr(0, 1500), true, "Truncated tar archive"},
      {"gzip cut inside", Gzip(tar).substr(0, 60), true, "unexpected EOF"},
      {"damaged gzip header", "\x1f\x8b\x09" + Gzip(tar).substr(3), false, "gzip reader: gzip: invalid header"},
      {"damaged xz header", Xz(tar).replace(6, 2, "\x7f\x7f"), false,
       "xz reader: xz: stream header checksum mismatch"},
      {"not a tar", std::string(2048, 'z'), true, "Unrecognized archive format"},
  };
  for (const auto& c : cases) {
    auto r = OpenTarInMemory(c.data);
    ASSERT_EQ(r.ok(), c.open_ok) << c.name << ": " << (r.ok() ? "" : r.error().message());
    if (!r.ok()) {
      EXPECT_EQ(r.error().message(), c.want) << c.name;
      continue;
    }
    util::Error err;
    TarMember e;
    for (;;) {
      auto more = (*r)->Next(&e);
      if (!more.ok()) {
        err = more.error();
        break;
      }
      if (!*more) break;
      auto data = ReadAll(**r, 4096);
      if (!data.ok()) {
        err = data.error();
        break;
      }
    }
    if (c.want.empty()) {
      EXPECT_TRUE(err.ok()) << c.name << ": " << err.message();
    } else {
      EXPECT_NE(err.message().find(c.want), std::string::npos) << c.name << ": " << err.message();
    }
  }
}

}  // namespace
}  // namespace pkgfmt
