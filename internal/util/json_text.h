// What the JSON checker, reader and binder share: the grammar's white space,
// the whole-document check, and the readers of text once checked, which trust
// the grammar and only find ends.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "internal/util/error.h"
#include "internal/util/json_reader.h"

namespace util::json::text {

inline bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The code point of a "\uXXXX" escape starting at `at`, or -1.
long EscapedUnit(std::string_view in, size_t at);

// Checks that `in` is exactly one JSON value followed only by white space;
// on success `top_end` is where that value ends and `top_items` counts the
// elements of the document's array, if it is one.
Error CheckDocument(std::string_view in, size_t& top_end, size_t& top_items);

size_t SkipSpaceAt(std::string_view in, size_t pos);
// The end of the string literal that starts at `pos`.
size_t StringEnd(std::string_view in, size_t pos);
// The end of the value that starts at `pos`.
size_t ValueEnd(std::string_view in, size_t pos);

// A literal of plain ASCII without escapes reads as its bytes.
bool IsPlainLiteral(std::string_view lit);
// The text of a checked string literal (quotes included in `lit`), into
// `out`; invalid UTF-8 and unpaired escaped surrogates read as U+FFFD.
void DecodeStringLiteralInto(std::string_view lit, std::string& out);
std::string DecodeStringLiteral(std::string_view lit);

// The value whose checked text is `text`: scalars decoded, arrays and objects
// kept as text.
Value LazyValue(std::string_view text);
// The whole tree of a value, in one pass over its text and without
// recursion.
Value Materialize(const Value& v);

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

}  // namespace util::json::text
