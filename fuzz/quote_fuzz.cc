// "%q" quoting of names in messages: the quoted text unquotes (by the Go
// rules it follows) to the input byte for byte, and holds no control byte
// and no invalid UTF-8 of its own, so a hostile name cannot forge a message.
#include "fuzz/fuzz_support.h"
#include "internal/util/strings.h"
#include "internal/util/utf8.h"

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendUtf8(std::string* out, char32_t r) {
  if (r < 0x80) {
    *out += static_cast<char>(r);
  } else if (r < 0x800) {
    *out += static_cast<char>(0xC0 | (r >> 6));
    *out += static_cast<char>(0x80 | (r & 0x3F));
  } else if (r < 0x10000) {
    *out += static_cast<char>(0xE0 | (r >> 12));
    *out += static_cast<char>(0x80 | ((r >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (r & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (r >> 18));
    *out += static_cast<char>(0x80 | ((r >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((r >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (r & 0x3F));
  }
}

// strconv.Unquote for a double-quoted literal; nullopt where it fails.
std::optional<std::string> Unquote(std::string_view q) {
  if (q.size() < 2 || q.front() != '"' || q.back() != '"') return std::nullopt;
  q = q.substr(1, q.size() - 2);
  std::string out;
  for (size_t i = 0; i < q.size();) {
    const char c = q[i];
    if (c == '"' || c == '\n') return std::nullopt;
    if (c != '\\') {
      out += c;
      ++i;
      continue;
    }
    if (i + 1 >= q.size()) return std::nullopt;
    const char e = q[i + 1];
    static constexpr std::string_view kShort = "abfnrtv\\\"";
    static constexpr std::string_view kBytes = "\a\b\f\n\r\t\v\\\"";
    if (size_t k = kShort.find(e); k != std::string_view::npos) {
      out += kBytes[k];
      i += 2;
      continue;
    }
    const size_t digits = e == 'x' ? 2 : e == 'u' ? 4 : e == 'U' ? 8 : 0;
    if (digits == 0 || i + 2 + digits > q.size()) return std::nullopt;
    uint32_t v = 0;
    for (size_t d = 0; d < digits; ++d) {
      const int h = HexDigit(q[i + 2 + d]);
      if (h < 0) return std::nullopt;
      v = v * 16 + static_cast<uint32_t>(h);
    }
    if (e == 'x') {
      out += static_cast<char>(v);
    } else {
      if (v > 0x10FFFF || (v >= 0xD800 && v < 0xE000)) return std::nullopt;
      AppendUtf8(&out, v);
    }
    i += 2 + digits;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view in = fuzz::Bytes(data, size);
  const std::string q = util::Quote(in);
  const std::optional<std::string> back = Unquote(q);
  if (!back) fuzz::Fail("quoted text does not unquote: " + q);
  if (*back != in) fuzz::Fail("quoted text unquotes to another string: " + q);
  for (size_t i = 0; i < q.size();) {
    const util::DecodedRune r = util::DecodeRune(std::string_view(q).substr(i));
    if (r.invalid) fuzz::Fail("invalid UTF-8 in quoted text");
    if (r.rune < 0x20 || r.rune == 0x7F || r.rune == 0x2028 || r.rune == 0x2029 || (r.rune >= 0x80 && r.rune < 0xA0)) {
      fuzz::Fail("control character in quoted text");
    }
    i += r.width;
  }
  return 0;
}
