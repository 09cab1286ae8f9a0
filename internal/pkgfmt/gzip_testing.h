// Test helper: the content of a buffer that must hold exactly one complete
// gzip member.
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

}  // namespace pkgfmt
