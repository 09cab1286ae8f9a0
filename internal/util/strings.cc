#include "internal/util/strings.h"

#include <locale.h>
#include <wctype.h>

#include <cstdarg>
#include <cstdio>

#include "internal/util/utf8.h"

namespace util {

std::string Sprintf(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(nullptr, 0, format, ap);
  va_end(ap);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(out.data(), out.size(), format, ap2);
    out.resize(static_cast<size_t>(n));
  }
  va_end(ap2);
  return out;
}

namespace {

struct Range {
  char32_t lo, hi;
};

// Spaces other than U+0020, format characters and private use: the C
// library counts them printable, but a quoted message must show them as
// escapes so that an invisible character in a name cannot pass unseen.
constexpr Range kHidden[] = {
    {0x00A0, 0x00A0}, {0x00AD, 0x00AD}, {0x0600, 0x0605}, {0x061C, 0x061C},
    {0x06DD, 0x06DD}, {0x070F, 0x070F}, {0x0890, 0x0891}, {0x08E2, 0x08E2},
    {0x1680, 0x1680}, {0x180E, 0x180E}, {0x2000, 0x200F}, {0x2028, 0x202F},
    {0x205F, 0x2064}, {0x2066, 0x206F}, {0x3000, 0x3000}, {0xE000, 0xF8FF},
    {0xFEFF, 0xFEFF}, {0xFFF9, 0xFFFB}, {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
    {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F}, {0xF0000, 0x10FFFF},
};

bool IsPrintable(char32_t r) {
  if (r < 0x80) return r >= 0x20 && r < 0x7F;
  if (r < 0xA0) return false;
  for (const Range& range : kHidden) {
    if (r >= range.lo && r <= range.hi) return false;
  }
  // Unassigned code points are not printable; the C library's Unicode
  // tables know which those are.
  static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  if (utf8 == static_cast<locale_t>(0)) return true;
  return iswprint_l(static_cast<wint_t>(r), utf8) != 0;
}

constexpr char kHex[] = "0123456789abcdef";

void AppendHex(std::string* out, uint32_t v, int digits) {
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out->push_back(kHex[(v >> shift) & 0xF]);
}

}  // namespace

std::string Quote(std::string_view s) {
  std::string out = "\"";
  size_t i = 0;
  while (i < s.size()) {
    DecodedRune r = DecodeRune(s.substr(i));
    if (r.invalid) {
      out += "\\x";
      AppendHex(&out, static_cast<unsigned char>(s[i]), 2);
      i += 1;
      continue;
    }
    std::string_view bytes = s.substr(i, r.width);
    i += r.width;
    char32_t c = r.rune;
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      continue;
    }
    if (IsPrintable(c)) {
      out += bytes;
      continue;
    }
    switch (c) {
      case '\a': out += "\\a"; continue;
      case '\b': out += "\\b"; continue;
      case '\f': out += "\\f"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case '\v': out += "\\v"; continue;
      default: break;
    }
    if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      AppendHex(&out, c, 2);
    } else if (c < 0x10000) {
      out += "\\u";
      AppendHex(&out, c, 4);
    } else {
      out += "\\U";
      AppendHex(&out, c, 8);
    }
  }
  out += '"';
  return out;
}

}  // namespace util
