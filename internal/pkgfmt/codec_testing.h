// Test helpers: data compressed in each format the readers take, by the
// format's own library, and a reader drained in pieces of a chosen size.
#pragma once

#include <bzlib.h>
#include <gtest/gtest.h>
#include <lzma.h>
#include <zstd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "internal/pkgfmt/decoder.h"
#include "internal/pkgfmt/gzip_testing.h"

namespace pkgfmt {

inline std::string Gzip(const std::string& in) { return GzipOneStream(in); }

inline std::string Xz(const std::string& in) {
  std::string out(lzma_stream_buffer_bound(in.size()), '\0');
  size_t pos = 0;
  EXPECT_EQ(lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr, reinterpret_cast<const uint8_t*>(in.data()),
                                    in.size(), reinterpret_cast<uint8_t*>(out.data()), &pos, out.size()),
            LZMA_OK);
  out.resize(pos);
  return out;
}

inline std::string Bzip2(const std::string& in) {
  unsigned len = static_cast<unsigned>(in.size() + in.size() / 100 + 600);
  std::string out(len, '\0');
  EXPECT_EQ(BZ2_bzBuffToBuffCompress(out.data(), &len, const_cast<char*>(in.data()),
                                     static_cast<unsigned>(in.size()), 9, 0, 0),
            BZ_OK);
  out.resize(len);
  return out;
}

inline std::string Zstd(const std::string& in) {
  std::string out(ZSTD_compressBound(in.size()), '\0');
  const size_t n = ZSTD_compress(out.data(), out.size(), in.data(), in.size(), 3);
  EXPECT_FALSE(ZSTD_isError(n));
  out.resize(n);
  return out;
}

// Everything left in `r`, read `piece` bytes at a time.
inline util::Result<std::string> ReadAll(ByteReader& r, size_t piece) {
  std::string out;
  std::vector<char> buf(piece);
  for (;;) {
    auto n = r.Read(buf.data(), buf.size());
    if (!n.ok()) return n.error();
    if (*n == 0) return out;
    out.append(buf.data(), *n);
  }
}

struct Compressor {
  const char* name;
  std::function<std::string(const std::string&)> compress;
};

// The four compressed formats the readers take, each with its compressor.
inline const std::vector<Compressor>& Codecs() {
  static const std::vector<Compressor> codecs = {
      {"gzip", Gzip}, {"xz", Xz}, {"bzip2", Bzip2}, {"zstd", Zstd}};
  return codecs;
}

}  // namespace pkgfmt
