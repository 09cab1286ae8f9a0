#include "internal/util/utf8.h"

namespace util {

DecodedRune DecodeRune(std::string_view s) {
  if (s.empty()) return {0xFFFD, 0, true};
  auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char b0 = byte(0);
  if (b0 < 0x80) return {b0, 1, false};
  const DecodedRune bad{0xFFFD, 1, true};
  size_t n;
  char32_t r;
  // The allowed range of the second byte shuts out overlong forms,
  // surrogates (ED A0..BF) and code points past U+10FFFF (F4 90..).
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2;
    r = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3;
    r = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4;
    r = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return bad;
  }
  if (s.size() < n) return bad;
  unsigned char b1 = byte(1);
  if (b1 < lo || b1 > hi) return bad;
  r = (r << 6) | (b1 & 0x3F);
  for (size_t i = 2; i < n; ++i) {
    unsigned char b = byte(i);
    if (b < 0x80 || b > 0xBF) return bad;
    r = (r << 6) | (b & 0x3F);
  }
  return {r, n, false};
}

}  // namespace util
