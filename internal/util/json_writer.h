// The one JSON writer of the system: exact bytes for every file and record it
// writes (audit lines, manifests, signature records, the registry, runtime.json).
//
// Layout: compact, or indented with a fixed unit per level, one blank after each
// colon, and empty arrays and objects kept as "[]" and "{}" on one line. Keys
// appear in the order they are written; callers write them in record order
// (or sorted, for generic maps). Strings are escaped so the output is safe to
// embed in HTML and survives line-oriented tools: "<" ">" "&" as \u003c \u003e
// \u0026, U+2028/U+2029 as \u2028/\u2029, "\n" "\r" "\t" short, other control
// bytes as \u00XX (lower-case hex), and every byte that is not part of valid
// UTF-8 as \ufffd. No line feed is written after the closing bracket; callers
// append one where a file calls for it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace util {

// Appends `s` as a JSON string literal (with its quotes) to `out`.
void AppendJsonString(std::string* out, std::string_view s);
// `s` as a JSON string literal.
std::string JsonQuote(std::string_view s);

class JsonWriter {
 public:
  // Compact output.
  JsonWriter() = default;
  // Indented output: a line break before every element and key, `indent`
  // repeated once per nesting level ("  " for two blanks).
  explicit JsonWriter(std::string indent) : indent_(std::move(indent)) {}

  void BeginObject();
  void EndObject();
  void BeginArray();
  void EndArray();

  // The key of the next value inside an object.
  void Key(std::string_view key);

  void String(std::string_view value);
  void Int(int64_t value);
  void Uint(uint64_t value);
  void Bool(bool value);
  void Null();

  // Key and value in one call, for records written field by field.
  void Field(std::string_view key, std::string_view value) { Key(key); String(value); }
  void Field(std::string_view key, const char* value) { Key(key); String(value); }
  void Field(std::string_view key, const std::string& value) { Key(key); String(value); }
  void Field(std::string_view key, int64_t value) { Key(key); Int(value); }
  void Field(std::string_view key, int value) { Key(key); Int(value); }
  void Field(std::string_view key, bool value) { Key(key); Bool(value); }
  // A list of strings ("[]" when empty).
  void Field(std::string_view key, const std::vector<std::string>& values);

  // The text written so far.
  const std::string& str() const { return out_; }
  std::string Take() { return std::move(out_); }

 private:
  struct Level {
    bool is_object;
    bool empty = true;
  };
  // Separator, line break and indent before a new element or key.
  void BeforeValue();
  void Newline(size_t depth);
  void Close(char bracket);

  std::string indent_;
  std::string out_;
  std::vector<Level> stack_;
  bool after_key_ = false;
};

}  // namespace util
