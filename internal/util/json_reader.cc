#include "internal/util/json_reader.h"

#include <charconv>
#include <nlohmann/json.hpp>

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

// The stored files were first read by a decoder that takes any bytes inside a
// string and turns invalid UTF-8 and unpaired escaped surrogates into U+FFFD,
// where nlohmann refuses the whole document. Rewriting just those spots inside
// string literals keeps such files readable. Everything outside strings is
// left for the parser to judge. Returns nullopt when nothing needs changing.
std::optional<std::string> RepairStrings(std::string_view in) {
  std::string out;
  size_t flushed = 0;
  bool changed = false;
  auto replace = [&](size_t at, size_t len, std::string_view with) {
    out.append(in.substr(flushed, at - flushed));
    out.append(with);
    flushed = at + len;
    changed = true;
  };
  bool in_string = false;
  size_t i = 0;
  while (i < in.size()) {
    unsigned char c = static_cast<unsigned char>(in[i]);
    if (!in_string) {
      if (c == '"') in_string = true;
      ++i;
      continue;
    }
    if (c == '"') {
      in_string = false;
      ++i;
    } else if (c == '\\') {
      long unit = EscapedUnit(in, i);
      if (unit < 0) {
        i += 2;  // a short escape, or a bad one the parser reports
        continue;
      }
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        long low = EscapedUnit(in, i + 6);
        if (low >= 0xDC00 && low <= 0xDFFF) {
          i += 12;
          continue;
        }
        replace(i, 6, "\\ufffd");
      } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
        replace(i, 6, "\\ufffd");
      }
      i += 6;
    } else if (c >= 0x80) {
      DecodedRune r = DecodeRune(in.substr(i));
      if (r.invalid) replace(i, 1, kReplacement);
      i += r.width;
    } else {
      ++i;
    }
  }
  if (!changed) return std::nullopt;
  out.append(in.substr(flushed));
  return out;
}

// Builds the tree from nlohmann's events, iteratively, so depth is bounded by
// kMaxDepth and not by the stack.
class TreeBuilder {
 public:
  using json = nlohmann::json;

  bool null() { return Scalar(Type::kNull); }
  bool boolean(bool v) {
    Value* slot = Slot();
    slot->type = Type::kBool;
    slot->boolean = v;
    return true;
  }
  bool number_integer(json::number_integer_t v) { return Number(std::to_string(v)); }
  bool number_unsigned(json::number_unsigned_t v) { return Number(std::to_string(v)); }
  bool number_float(json::number_float_t, const json::string_t& literal) { return Number(literal); }
  bool string(json::string_t& v) {
    Value* slot = Slot();
    slot->type = Type::kString;
    slot->text = std::move(v);
    return true;
  }
  bool binary(json::binary_t&) { return Fail("binary values are not JSON"); }
  bool start_object(std::size_t) { return Open(Type::kObject); }
  bool key(json::string_t& k) {
    stack_.back()->members.push_back(Member{std::move(k), Value{}});
    return true;
  }
  bool end_object() {
    stack_.pop_back();
    return true;
  }
  bool start_array(std::size_t) { return Open(Type::kArray); }
  bool end_array() {
    stack_.pop_back();
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) {
    // what() reads "[json.exception.parse_error.101] parse error at line 1, ..."
    std::string_view text = ex.what();
    if (size_t end = text.find("] "); !text.empty() && text[0] == '[' && end != text.npos) {
      text.remove_prefix(end + 2);
    }
    return Fail(std::string(text));
  }

  Value TakeRoot() { return std::move(root_); }
  const std::string& error() const { return error_; }

 private:
  // Where the next value goes: the root, the next array element, or the
  // member whose key was just read.
  Value* Slot() {
    if (stack_.empty()) return &root_;
    Value* top = stack_.back();
    if (top->type == Type::kArray) {
      top->items.emplace_back();
      return &top->items.back();
    }
    return &top->members.back().value;
  }
  bool Scalar(Type type) {
    Slot()->type = type;
    return true;
  }
  bool Number(std::string literal) {
    Value* slot = Slot();
    slot->type = Type::kNumber;
    slot->text = std::move(literal);
    return true;
  }
  bool Open(Type type) {
    if (stack_.size() >= static_cast<size_t>(kMaxDepth)) {
      return Fail("exceeded max depth of " + std::to_string(kMaxDepth));
    }
    Value* slot = Slot();
    slot->type = type;
    // Pointers into a parent's vector stay valid: the parent grows again only
    // after this child is closed.
    stack_.push_back(slot);
    return true;
  }
  bool Fail(std::string text) {
    if (error_.empty()) error_ = std::move(text);
    return false;
  }

  Value root_;
  std::vector<Value*> stack_;
  std::string error_;
};

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
  std::vector<std::string> items(v.items.size());
  for (size_t i = 0; i < items.size(); ++i) ZOL_TRY(DecodeString(v.items[i], path, items[i]));
  out = std::move(items);
  return Error();
}

Error DecodeStringMap(const Value& v, const std::string& path,
                      std::map<std::string, std::string>& out) {
  if (v.type != Type::kObject) return TypeError(v, path, "map[string]string");
  // Nothing is changed unless every member is good: the read fails whole.
  std::map<std::string, std::string> merged = out;
  for (const Member& m : v.members) {
    std::string s;
    ZOL_TRY(DecodeString(m.value, path, s));
    merged[m.key] = std::move(s);
  }
  out = std::move(merged);
  return Error();
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

Result<Value> Parse(std::string_view data) {
  // nlohmann skips a leading byte order mark; the files' first reader did not.
  if (data.substr(0, 3) == "\xEF\xBB\xBF") {
    return Error::Msg("json: invalid character at line 1, column 1: byte order mark before value");
  }
  std::optional<std::string> repaired = RepairStrings(data);
  std::string_view text = repaired ? std::string_view(*repaired) : data;
  TreeBuilder builder;
  bool ok = false;
  try {
    ok = nlohmann::json::sax_parse(text.begin(), text.end(), &builder,
                                   nlohmann::json::input_format_t::json, /*strict=*/true);
  } catch (const std::exception& ex) {
    return Error::Msg(std::string("json: ") + ex.what());
  }
  if (!ok) {
    return Error::Msg("json: " + (builder.error().empty() ? std::string("invalid input") : builder.error()));
  }
  return builder.TakeRoot();
}

Error TypeError(const Value& value, const std::string& path, std::string_view type) {
  return TypeErrorText(Describe(value, false), path, type);
}

Error DecodeObject(const Value& value, std::string_view type, const std::string& path,
                   std::initializer_list<Field> fields) {
  if (value.is_null()) return Error();
  if (value.type != Type::kObject) return TypeError(value, path, type);
  for (const Member& m : value.members) {
    const Field* match = nullptr;
    for (const Field& f : fields) {
      if (f.key == m.key) {
        match = &f;
        break;
      }
    }
    if (match == nullptr) {
      for (const Field& f : fields) {
        if (FoldEqual(m.key, f.key)) {
          match = &f;
          break;
        }
      }
    }
    if (match == nullptr) continue;
    ZOL_TRY(match->decode(m.value, FieldPath(type, path, match->key)));
  }
  return Error();
}

Field Bind(std::string_view key, std::string& out) {
  return {key, [&out](const Value& v, const std::string& path) { return DecodeString(v, path, out); }};
}

Field Bind(std::string_view key, bool& out) {
  return {key, [&out](const Value& v, const std::string& path) -> Error {
            if (v.is_null()) return Error();
            if (v.type != Type::kBool) return TypeError(v, path, "bool");
            out = v.boolean;
            return Error();
          }};
}

Field Bind(std::string_view key, int64_t& out) {
  return {key, [&out](const Value& v, const std::string& path) -> Error {
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
          }};
}

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
            std::map<std::string, std::string> merged = out;
            ZOL_TRY(DecodeStringMap(v, path, merged));
            out = std::move(merged);
            return Error();
          }};
}

Field Bind(std::string_view key, Value& out) {
  return {key, [&out](const Value& v, const std::string&) -> Error {
            out = v;
            return Error();
          }};
}

}  // namespace util::json
