// The binding layer of the JSON reader: fills C++ records from checked text
// by the field-matching rules in json_reader.h.
#include <charconv>
#include <string>
#include <vector>

#include "internal/util/json_reader.h"
#include "internal/util/json_text.h"
#include "internal/util/utf8.h"

namespace util::json {

using namespace text;

namespace {

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
