// Test helpers: the content of a buffer that must hold exactly one complete
// gzip member, and such a member made by zlib alone.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

namespace pkgfmt {

inline std::string InflateOneMember(const std::string& gz) {
  z_stream zs{};
  EXPECT_EQ(inflateInit2(&zs, 15 + 16), Z_OK);
  std::string out;
  std::vector<char> buf(1 << 16);
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data()));
  zs.avail_in = static_cast<uInt>(gz.size());
  int r = Z_OK;
  while (r == Z_OK) {
    zs.next_out = reinterpret_cast<Bytef*>(buf.data());
    zs.avail_out = static_cast<uInt>(buf.size());
    r = inflate(&zs, Z_NO_FLUSH);
    out.append(buf.data(), buf.size() - zs.avail_out);
  }
  EXPECT_EQ(r, Z_STREAM_END) << "a complete gzip member with a valid trailer";
  EXPECT_EQ(zs.avail_in, 0u) << "one gzip member, nothing after it";
  inflateEnd(&zs);
  return out;
}

// `data` deflated by zlib in one stream into one gzip member.
inline std::string GzipOneStream(const std::string& data, int level = Z_DEFAULT_COMPRESSION) {
  z_stream zs{};
  EXPECT_EQ(deflateInit2(&zs, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&zs, data.size()) + 64, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

}  // namespace pkgfmt
