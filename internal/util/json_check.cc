// The grammar check of a whole JSON document, the first of the reader's two
// steps: nothing is built, and nothing is bound from text that fails it.
#include <array>
#include <string>
#include <vector>

#include "internal/util/json_text.h"

namespace util::json::text {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Bytes that stand for themselves inside a string literal: all but the
// quote, the backslash and the control characters.
constexpr auto kPlainInString = [] {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c < 256; ++c) plain[c] = c != '"' && c != '\\';
  return plain;
}();

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string QuoteChar(unsigned char c) {
  if (c == '\'') return "'\\''";
  if (c >= 0x20 && c < 0x7F) return std::string("'") + static_cast<char>(c) + "'";
  static const char kHex[] = "0123456789abcdef";
  return std::string("'\\x") + kHex[c >> 4] + kHex[c & 15] + "'";
}

// Checks that the text is exactly one JSON value followed only by white
// space, without building anything: memory is one byte per open bracket.
// Strings may hold any byte but the control characters; invalid UTF-8 and
// unpaired escaped surrogates are repaired when a string is decoded, as the
// stored files' first reader did. Numbers are checked for their grammar only:
// whether one fits is up to the field that reads it.
class Checker {
 public:
  explicit Checker(std::string_view in) : in_(in) {}

  // After a successful Run: the elements of the document's array, if it is one.
  size_t top_items() const { return top_items_; }
  // After a successful Run: where the document's value ends.
  size_t top_end() const { return top_end_; }

  Error Run() {
    std::vector<char> open;  // '{' or '[' per level
    SkipSpace();
    for (;;) {
      // A value begins here.
      if (AtEnd()) return Eof();
      if (open.size() == 1 && open[0] == '[') ++top_items_;
      char c = in_[pos_];
      if (c == '{' || c == '[') {
        if (open.size() >= static_cast<size_t>(kMaxDepth)) {
          return Error::Msg("json: exceeded max depth of " + std::to_string(kMaxDepth));
        }
        open.push_back(c);
        ++pos_;
        SkipSpace();
        if (AtEnd()) return Eof();
        if (in_[pos_] == (c == '{' ? '}' : ']')) {
          ++pos_;
          open.pop_back();
        } else if (c == '{') {
          ZOL_TRY(Key());
          continue;
        } else {
          continue;
        }
      } else {
        ZOL_TRY(Scalar());
      }
      // After a value: close levels, or move to the next element.
      for (;;) {
        if (open.empty()) top_end_ = pos_;
        SkipSpace();
        if (open.empty()) {
          if (!AtEnd()) return Invalid("after top-level value");
          return Error();
        }
        if (AtEnd()) return Eof();
        char d = in_[pos_];
        bool object = open.back() == '{';
        if (d == ',') {
          ++pos_;
          SkipSpace();
          if (object) ZOL_TRY(Key());
          break;
        }
        if (d == (object ? '}' : ']')) {
          ++pos_;
          open.pop_back();
          continue;
        }
        return Invalid(object ? "after object key:value pair" : "after array element");
      }
    }
  }

 private:
  bool AtEnd() const { return pos_ >= in_.size(); }
  void SkipSpace() {
    while (pos_ < in_.size() && IsSpace(in_[pos_])) ++pos_;
  }
  Error Eof() const { return Error::Msg("json: unexpected end of JSON input"); }
  Error Invalid(std::string_view where) const {
    return Error::Msg("json: invalid character " + QuoteChar(static_cast<unsigned char>(in_[pos_])) + " " +
                      std::string(where) + " at offset " + std::to_string(pos_));
  }

  // An object key and its colon; the value follows.
  Error Key() {
    if (AtEnd()) return Eof();
    if (in_[pos_] != '"') return Invalid("looking for beginning of object key string");
    ZOL_TRY(String());
    SkipSpace();
    if (AtEnd()) return Eof();
    if (in_[pos_] != ':') return Invalid("after object key");
    ++pos_;
    SkipSpace();
    return Error();
  }

  Error String() {
    ++pos_;  // the opening quote
    for (;;) {
      // Runs of plain bytes, the bulk of any text, in a tight loop.
      const char* p = in_.data() + pos_;
      const char* const end = in_.data() + in_.size();
      while (p != end && kPlainInString[static_cast<unsigned char>(*p)]) ++p;
      pos_ = static_cast<size_t>(p - in_.data());
      if (AtEnd()) return Eof();
      unsigned char c = static_cast<unsigned char>(in_[pos_]);
      if (c == '"') {
        ++pos_;
        return Error();
      }
      if (c < 0x20) return Invalid("in string literal");
      if (c != '\\') {
        ++pos_;
        continue;
      }
      ++pos_;
      if (AtEnd()) return Eof();
      char e = in_[pos_];
      if (e == 'u') {
        for (int k = 1; k <= 4; ++k) {
          if (pos_ + k >= in_.size()) {
            pos_ = in_.size();
            return Eof();
          }
          if (HexValue(in_[pos_ + k]) < 0) {
            pos_ += k;
            return Invalid("in \\u hexadecimal character escape");
          }
        }
        pos_ += 5;
      } else if (std::string_view("\"\\/bfnrt").find(e) != std::string_view::npos) {
        ++pos_;
      } else {
        return Invalid("in string escape code");
      }
    }
  }

  Error Literal(std::string_view word) {
    for (size_t k = 0; k < word.size(); ++k, ++pos_) {
      if (AtEnd()) return Eof();
      if (in_[pos_] != word[k]) return Invalid("in literal " + std::string(word) + " (expecting " + QuoteChar(word[k]) + ")");
    }
    return Error();
  }

  Error Digits() {
    if (AtEnd()) return Eof();
    if (!IsDigit(in_[pos_])) return Invalid("in numeric literal");
    while (pos_ < in_.size() && IsDigit(in_[pos_])) ++pos_;
    return Error();
  }

  Error Number() {
    if (in_[pos_] == '-') ++pos_;
    if (AtEnd()) return Eof();
    if (in_[pos_] == '0') {
      ++pos_;
    } else {
      ZOL_TRY(Digits());
    }
    if (pos_ < in_.size() && in_[pos_] == '.') {
      ++pos_;
      ZOL_TRY(Digits());
    }
    if (pos_ < in_.size() && (in_[pos_] == 'e' || in_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < in_.size() && (in_[pos_] == '+' || in_[pos_] == '-')) ++pos_;
      ZOL_TRY(Digits());
    }
    return Error();
  }

  Error Scalar() {
    char c = in_[pos_];
    if (c == '"') return String();
    if (c == 't') return Literal("true");
    if (c == 'f') return Literal("false");
    if (c == 'n') return Literal("null");
    if (c == '-' || IsDigit(c)) return Number();
    return Invalid("looking for beginning of value");
  }

  std::string_view in_;
  size_t pos_ = 0;
  size_t top_items_ = 0;
  size_t top_end_ = 0;
};

}  // namespace

// The code point of a "\uXXXX" escape starting at `at`, or -1.
long EscapedUnit(std::string_view in, size_t at) {
  if (at + 6 > in.size() || in[at] != '\\' || in[at + 1] != 'u') return -1;
  long v = 0;
  for (size_t k = at + 2; k < at + 6; ++k) {
    int h = HexValue(in[k]);
    if (h < 0) return -1;
    v = v * 16 + h;
  }
  return v;
}

Error CheckDocument(std::string_view in, size_t& top_end, size_t& top_items) {
  Checker check(in);
  ZOL_TRY(check.Run());
  top_end = check.top_end();
  top_items = check.top_items();
  return Error();
}

}  // namespace util::json::text
