#include "internal/util/json_reader.h"

#include <sys/mman.h>

#include <array>
#include <charconv>
#include <cstring>
#include <cstdint>

#include "internal/util/utf8.h"

namespace util::json {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

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

// Bytes that stand for themselves inside a string literal: all but the
// quote, the backslash and the control characters.
constexpr auto kPlainInString = [] {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c < 256; ++c) plain[c] = c != '"' && c != '\\';
  return plain;
}();

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
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
// unpaired escaped surrogates read as U+FFFD when a string is decoded.
// Numbers are checked for their grammar only: whether one fits is up to the
// field that reads it.
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

// Readers of checked text: they trust the grammar and only find ends.

size_t SkipSpaceAt(std::string_view in, size_t pos) {
  while (pos < in.size() && IsSpace(in[pos])) ++pos;
  return pos;
}

// The end of the string literal that starts at `pos`: the first quote after
// it that follows an even run of backslashes.
size_t StringEnd(std::string_view in, size_t pos) {
  const char* const base = in.data();
  const char* p = base + pos + 1;
  for (;;) {
    p = static_cast<const char*>(std::memchr(p, '"', in.size() - static_cast<size_t>(p - base)));
    const char* q = p;
    while (q[-1] == '\\') --q;
    if ((p - q) % 2 == 0) return static_cast<size_t>(p - base) + 1;
    ++p;
  }
}

// The end of the value that starts at `pos`.
size_t ValueEnd(std::string_view in, size_t pos) {
  char c = in[pos];
  if (c == '"') return StringEnd(in, pos);
  if (c == '{' || c == '[') {
    size_t depth = 0;
    for (;;) {
      char d = in[pos];
      if (d == '"') {
        pos = StringEnd(in, pos);
        continue;
      }
      ++pos;
      if (d == '{' || d == '[') {
        ++depth;
      } else if ((d == '}' || d == ']') && --depth == 0) {
        return pos;
      }
    }
  }
  while (pos < in.size() && in[pos] != ',' && in[pos] != '}' && in[pos] != ']' && !IsSpace(in[pos])) ++pos;
  return pos;
}

void AppendRune(std::string& out, char32_t r) {
  if (r < 0x80) {
    out += static_cast<char>(r);
  } else if (r < 0x800) {
    out += static_cast<char>(0xC0 | (r >> 6));
    out += static_cast<char>(0x80 | (r & 0x3F));
  } else if (r < 0x10000) {
    out += static_cast<char>(0xE0 | (r >> 12));
    out += static_cast<char>(0x80 | ((r >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (r & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (r >> 18));
    out += static_cast<char>(0x80 | ((r >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((r >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (r & 0x3F));
  }
}

// A literal of plain ASCII without escapes reads as its bytes; most keys and
// values are such, and so need no decoding.
bool IsPlainLiteral(std::string_view lit) {
  for (size_t i = 1; i + 1 < lit.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(lit[i]);
    if (c == '\\' || c >= 0x80) return false;
  }
  return true;
}

// The text of a checked string literal (quotes included in `lit`), into
// `out`. Invalid UTF-8 and escaped surrogates that do not form a pair read as
// U+FFFD.
void DecodeStringLiteralInto(std::string_view lit, std::string& out) {
  std::string_view in = lit.substr(1, lit.size() - 2);
  if (IsPlainLiteral(lit)) {
    out.assign(in);
    return;
  }
  out.clear();
  out.reserve(in.size());
  size_t i = 0;
  while (i < in.size()) {
    unsigned char c = static_cast<unsigned char>(in[i]);
    if (c == '\\') {
      char e = in[i + 1];
      if (e != 'u') {
        switch (e) {
          case 'b': out += '\b'; break;
          case 'f': out += '\f'; break;
          case 'n': out += '\n'; break;
          case 'r': out += '\r'; break;
          case 't': out += '\t'; break;
          default: out += e; break;  // '"', '\\', '/'
        }
        i += 2;
        continue;
      }
      long unit = EscapedUnit(in, i);
      i += 6;
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        long low = EscapedUnit(in, i);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          AppendRune(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
          i += 6;
        } else {
          out += kReplacement;
        }
      } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
        out += kReplacement;
      } else {
        AppendRune(out, static_cast<char32_t>(unit));
      }
    } else if (c >= 0x80) {
      DecodedRune r = DecodeRune(in.substr(i));
      if (r.invalid) {
        out += kReplacement;
      } else {
        out.append(in.substr(i, r.width));
      }
      i += r.width;
    } else {
      out += static_cast<char>(c);
      ++i;
    }
  }
}

std::string DecodeStringLiteral(std::string_view lit) {
  std::string out;
  DecodeStringLiteralInto(lit, out);
  return out;
}

// The value whose checked text is `text`: scalars decoded, arrays and objects
// kept as text.
Value LazyValue(std::string_view text) {
  Value v;
  switch (text[0]) {
    case '{':
      v.type = Type::kObject;
      v.raw = text;
      break;
    case '[':
      v.type = Type::kArray;
      v.raw = text;
      break;
    case '"':
      v.type = Type::kString;
      v.text = DecodeStringLiteral(text);
      break;
    case 't':
    case 'f':
      v.type = Type::kBool;
      v.boolean = text[0] == 't';
      break;
    case 'n':
      break;
    default:
      v.type = Type::kNumber;
      // Negative zero reads as the integer zero.
      v.text = text == "-0" ? "0" : std::string(text);
      break;
  }
  return v;
}

// Walks the elements of checked array or object text; `key` gets the
// undecoded key literal of object members. `fn` returns false to stop.
template <class Fn>
void WalkRaw(std::string_view raw, Fn fn) {
  size_t pos = SkipSpaceAt(raw, 1);
  if (raw[pos] == '}' || raw[pos] == ']') return;
  const bool object = raw[0] == '{';
  for (;;) {
    std::string_view key;
    if (object) {
      size_t key_end = StringEnd(raw, pos);
      key = raw.substr(pos, key_end - pos);
      pos = SkipSpaceAt(raw, key_end) + 1;  // past ':'
      pos = SkipSpaceAt(raw, pos);
    }
    size_t end = ValueEnd(raw, pos);
    if (!fn(key, raw.substr(pos, end - pos))) return;
    pos = SkipSpaceAt(raw, end);
    if (raw[pos] != ',') return;
    pos = SkipSpaceAt(raw, pos + 1);
  }
}

// The whole tree of a value; the depth was bounded by the check.
Value Materialize(const Value& v) {
  if (v.raw.empty()) return v;
  Value out;
  out.type = v.type;
  WalkRaw(v.raw, [&](std::string_view key, std::string_view text) {
    Value item = Materialize(LazyValue(text));
    if (v.type == Type::kObject) {
      out.members.push_back(Member{DecodeStringLiteral(key), std::move(item)});
    } else {
      out.items.push_back(std::move(item));
    }
    return true;
  });
  return out;
}

// Key matching without regard to case. Field names are ASCII, and the only
// non-ASCII runes whose simple case folding reaches an ASCII letter are
// U+017F (s) and U+212A (k).
bool FoldEqual(std::string_view key, std::string_view name) {
  auto lower = [](char32_t c) -> char32_t { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; };
  size_t i = 0, j = 0;
  while (i < key.size() && j < name.size()) {
    DecodedRune r = DecodeRune(key.substr(i));
    char32_t k = r.rune;
    if (k == 0x017F) {
      k = 's';
    } else if (k == 0x212A) {
      k = 'k';
    } else if (k >= 0x80) {
      return false;
    }
    if (lower(k) != lower(static_cast<unsigned char>(name[j]))) return false;
    i += r.width;
    ++j;
  }
  return i == key.size() && j == name.size();
}

std::string Describe(const Value& v, bool with_literal) {
  switch (v.type) {
    case Type::kNull: return "null";
    case Type::kBool: return "bool";
    case Type::kNumber: return with_literal ? "number " + v.text : "number";
    case Type::kString: return "string";
    case Type::kArray: return "array";
    case Type::kObject: return "object";
  }
  return "value";
}

Error TypeErrorText(const std::string& what, const std::string& path, std::string_view type) {
  std::string msg = "json: cannot unmarshal " + what + " into ";
  msg += path.empty() ? "value" : "field " + path;
  msg += " of type ";
  msg += type;
  return Error::Msg(std::move(msg));
}

Error DecodeString(const Value& v, const std::string& path, std::string& out) {
  if (v.is_null()) return Error();
  if (v.type != Type::kString) return TypeError(v, path, "string");
  out = v.text;
  return Error();
}

Error DecodeStringList(const Value& v, const std::string& path, std::vector<std::string>& out) {
  if (v.type != Type::kArray) return TypeError(v, path, "[]string");
  std::vector<std::string> items;
  ZOL_TRY(ForEachItem(v, [&](const Value& item) {
    items.emplace_back();
    return DecodeString(item, path, items.back());
  }));
  out = std::move(items);
  return Error();
}

// Adds the members over the existing map in place, so a repeated map costs
// only its own members. A failure fails the whole read, whose records the
// caller drops, so a half-merged map is never seen.
Error DecodeStringMap(const Value& v, const std::string& path,
                      std::map<std::string, std::string>& out) {
  if (v.type != Type::kObject) return TypeError(v, path, "map[string]string");
  return ForEachMember(v, [&](std::string_view key, const Value& value) -> Error {
    if (value.is_null()) {
      out[std::string(key)].clear();
      return Error();
    }
    if (value.type != Type::kString) return TypeError(value, path, "string");
    out[std::string(key)] = value.text;
    return Error();
  });
}

Error DecodeInt64(const Value& v, const std::string& path, int64_t& out) {
  if (v.is_null()) return Error();
  if (v.type != Type::kNumber) return TypeError(v, path, "int64");
  int64_t n = 0;
  const char* end = v.text.data() + v.text.size();
  auto [ptr, ec] = std::from_chars(v.text.data(), end, n);
  if (!v.IsIntegerLiteral() || ec != std::errc() || ptr != end) {
    return TypeErrorText(Describe(v, true), path, "int64");
  }
  out = n;
  return Error();
}

Error DecodeBool(const Value& v, const std::string& path, bool& out) {
  if (v.is_null()) return Error();
  if (v.type != Type::kBool) return TypeError(v, path, "bool");
  out = v.boolean;
  return Error();
}

Error ApplyAt(const Field& f, const Value& v, const std::string& path) {
  switch (f.kind) {
    case Field::Kind::kString: return DecodeString(v, path, *static_cast<std::string*>(f.target));
    case Field::Kind::kBool: return DecodeBool(v, path, *static_cast<bool*>(f.target));
    case Field::Kind::kInt64: return DecodeInt64(v, path, *static_cast<int64_t*>(f.target));
    case Field::Kind::kCustom: break;
  }
  return f.decode(v, path);
}

// Applies one member to a field of a record of type `type` at `path`. Only a
// custom field or a failure needs the field's path as text: a scalar is
// first applied without it (a failing scalar leaves its field unchanged).
Error ApplyField(const Field& f, const Value& v, std::string_view type, const std::string& path) {
  if (f.kind != Field::Kind::kCustom) {
    static const std::string kUnnamed;
    Error err = ApplyAt(f, v, kUnnamed);
    if (err.ok()) return err;
  }
  return ApplyAt(f, v, FieldPath(type, path, f.key));
}

// The field a key names: the exact match first, else the folded one.
const Field* MatchField(std::string_view key, std::initializer_list<Field> fields) {
  for (const Field& f : fields) {
    if (f.key == key) return &f;
  }
  for (const Field& f : fields) {
    if (FoldEqual(key, f.key)) return &f;
  }
  return nullptr;
}

}  // namespace

bool Value::IsIntegerLiteral() const {
  return type == Type::kNumber && text.find_first_of(".eE") == std::string::npos;
}

const Value* Value::Get(std::string_view key) const {
  if (type != Type::kObject) return nullptr;
  for (auto it = members.rbegin(); it != members.rend(); ++it) {
    if (it->key == key) return &it->value;
  }
  return nullptr;
}

Result<Value> ParseLazy(std::string_view data) {
  Checker check(data);
  ZOL_TRY(check.Run());
  size_t start = SkipSpaceAt(data, 0);
  Value v = LazyValue(data.substr(start, check.top_end() - start));
  if (v.type == Type::kArray) v.raw_items = check.top_items();
  return v;
}

void AdviseHugePages(void* p, size_t n) {
  constexpr uintptr_t kHuge = kHugePage;
  const uintptr_t start = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + n) & ~(kHuge - 1);
  if (p == nullptr || end <= start) return;
  ::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

size_t CountItems(const Value& array) {
  if (array.type != Type::kArray) return 0;
  if (array.raw.empty()) return array.items.size();
  if (array.raw_items != Value::kUncounted) return array.raw_items;
  size_t n = 0;
  WalkRaw(array.raw, [&](std::string_view, std::string_view) {
    ++n;
    return true;
  });
  return n;
}

Result<Value> Parse(std::string_view data) {
  ZOL_ASSIGN_OR_RETURN(const Value lazy, ParseLazy(data));
  return Materialize(lazy);
}

Error ForEachItem(const Value& array, const std::function<Error(const Value&)>& fn) {
  if (array.raw.empty()) {
    for (const Value& item : array.items) ZOL_TRY(fn(item));
    return Error();
  }
  Error err;
  WalkRaw(array.raw, [&](std::string_view, std::string_view text) {
    err = fn(LazyValue(text));
    return err.ok();
  });
  return err;
}

Error ForEachMember(const Value& object,
                    const std::function<Error(std::string_view key, const Value&)>& fn) {
  if (object.raw.empty()) {
    for (const Member& m : object.members) ZOL_TRY(fn(m.key, m.value));
    return Error();
  }
  Error err;
  WalkRaw(object.raw, [&](std::string_view key, std::string_view text) {
    err = fn(DecodeStringLiteral(key), LazyValue(text));
    return err.ok();
  });
  return err;
}

Error TypeError(const Value& value, const std::string& path, std::string_view type) {
  return TypeErrorText(Describe(value, false), path, type);
}

Error DecodeObject(const Value& value, std::string_view type, const std::string& path,
                   std::initializer_list<Field> fields) {
  if (value.is_null()) return Error();
  if (value.type != Type::kObject) return TypeError(value, path, type);
  if (value.raw.empty()) {
    for (const Member& m : value.members) {
      if (const Field* f = MatchField(m.key, fields)) ZOL_TRY(ApplyField(*f, m.value, type, path));
    }
    return Error();
  }
  // The value of a key that names no field is skipped unread.
  Error err;
  std::string escaped_key;
  WalkRaw(value.raw, [&](std::string_view lit, std::string_view text) {
    std::string_view key = lit.substr(1, lit.size() - 2);
    if (!IsPlainLiteral(lit)) {
      DecodeStringLiteralInto(lit, escaped_key);
      key = escaped_key;
    }
    const Field* f = MatchField(key, fields);
    if (f == nullptr) return true;
    if (f->kind == Field::Kind::kString && text[0] == '"') {
      // Straight from the text into the field, with no copy between.
      DecodeStringLiteralInto(text, *static_cast<std::string*>(f->target));
      return true;
    }
    err = ApplyField(*f, LazyValue(text), type, path);
    return err.ok();
  });
  return err;
}

Field Bind(std::string_view key, std::string& out) { return Field(key, Field::Kind::kString, &out); }
Field Bind(std::string_view key, bool& out) { return Field(key, Field::Kind::kBool, &out); }
Field Bind(std::string_view key, int64_t& out) { return Field(key, Field::Kind::kInt64, &out); }

Field Bind(std::string_view key, std::vector<std::string>& out) {
  return {key, [&out](const Value& v, const std::string& path) -> Error {
            if (v.is_null()) {
              out.clear();
              return Error();
            }
            return DecodeStringList(v, path, out);
          }};
}

Field Bind(std::string_view key, NullableStrings& out) {
  return {key, [&out](const Value& v, const std::string& path) -> Error {
            if (v.is_null()) {
              out.SetNull();
              return Error();
            }
            std::vector<std::string> items;
            ZOL_TRY(DecodeStringList(v, path, items));
            out = std::move(items);
            return Error();
          }};
}

Field Bind(std::string_view key, std::map<std::string, std::string>& out) {
  return {key, [&out](const Value& v, const std::string& path) -> Error {
            if (v.is_null()) {
              out.clear();
              return Error();
            }
            return DecodeStringMap(v, path, out);
          }};
}

Field Bind(std::string_view key, NullableStringMap& out) {
  return {key, [&out](const Value& v, const std::string& path) -> Error {
            if (v.is_null()) {
              out.SetNull();
              return Error();
            }
            if (v.type != Type::kObject) return TypeError(v, path, "map[string]string");
            if (out.is_null()) out = std::map<std::string, std::string>{};  // present, even if empty
            return DecodeStringMap(v, path, out);
          }};
}

Field Bind(std::string_view key, Value& out) {
  return {key, [&out](const Value& v, const std::string&) -> Error {
            out = Materialize(v);
            return Error();
          }};
}

}  // namespace util::json
