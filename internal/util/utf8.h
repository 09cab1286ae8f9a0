// UTF-8 decoding with the strict rules the system's text escapes rely on:
// overlong forms, surrogates and values past U+10FFFF are invalid, and an
// invalid sequence counts as one bad byte so decoding resumes at the next.
#pragma once

#include <cstddef>
#include <string_view>

namespace util {

struct DecodedRune {
  char32_t rune = 0;   // U+FFFD when invalid
  size_t width = 0;    // bytes consumed: 1 for an invalid byte, 0 for empty input
  bool invalid = false;
};

// Decodes the first code point of `s`.
DecodedRune DecodeRune(std::string_view s);

}  // namespace util
