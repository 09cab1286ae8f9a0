// The JSON writer: any document the reader takes, written back compact and
// indented, re-reads as the same values, and writing what was re-read gives
// the same bytes. Numbers the writer has no form for (fractions, exponents,
// integers beyond 64 bits) are written as null.
#include <charconv>

#include "fuzz/fuzz_support.h"
#include "internal/util/json_reader.h"
#include "internal/util/json_writer.h"

namespace json = util::json;

namespace {

enum class Num { kInt, kUint, kNone };

Num NumberForm(const json::Value& v, int64_t* i, uint64_t* u) {
  if (!v.IsIntegerLiteral()) return Num::kNone;
  const char* b = v.text.data();
  const char* e = b + v.text.size();
  if (auto r = std::from_chars(b, e, *i); r.ec == std::errc() && r.ptr == e) return Num::kInt;
  if (auto r = std::from_chars(b, e, *u); r.ec == std::errc() && r.ptr == e) return Num::kUint;
  return Num::kNone;
}

void Write(const json::Value& v, util::JsonWriter* w) {
  switch (v.type) {
    case json::Type::kNull: w->Null(); break;
    case json::Type::kBool: w->Bool(v.boolean); break;
    case json::Type::kString: w->String(v.text); break;
    case json::Type::kNumber: {
      int64_t i = 0;
      uint64_t u = 0;
      switch (NumberForm(v, &i, &u)) {
        case Num::kInt: w->Int(i); break;
        case Num::kUint: w->Uint(u); break;
        case Num::kNone: w->Null(); break;
      }
      break;
    }
    case json::Type::kArray:
      w->BeginArray();
      for (const json::Value& item : v.items) Write(item, w);
      w->EndArray();
      break;
    case json::Type::kObject:
      w->BeginObject();
      for (const json::Member& m : v.members) {
        w->Key(m.key);
        Write(m.value, w);
      }
      w->EndObject();
      break;
  }
}

// Whether `got` (re-read) holds the values of `want` (first read) as the
// writer was able to write them.
bool Same(const json::Value& want, const json::Value& got) {
  if (want.type == json::Type::kNumber) {
    int64_t i = 0, gi = 0;
    uint64_t u = 0, gu = 0;
    const Num form = NumberForm(want, &i, &u);
    if (form == Num::kNone) return got.is_null();
    if (got.type != json::Type::kNumber || NumberForm(got, &gi, &gu) != form) return false;
    return form == Num::kInt ? i == gi : u == gu;
  }
  if (want.type != got.type) return false;
  switch (want.type) {
    case json::Type::kNull: return true;
    case json::Type::kBool: return want.boolean == got.boolean;
    case json::Type::kString: return want.text == got.text;
    case json::Type::kArray:
      if (want.items.size() != got.items.size()) return false;
      for (size_t k = 0; k < want.items.size(); ++k) {
        if (!Same(want.items[k], got.items[k])) return false;
      }
      return true;
    case json::Type::kObject:
      if (want.members.size() != got.members.size()) return false;
      for (size_t k = 0; k < want.members.size(); ++k) {
        if (want.members[k].key != got.members[k].key || !Same(want.members[k].value, got.members[k].value)) {
          return false;
        }
      }
      return true;
    case json::Type::kNumber: break;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto doc = json::Parse(fuzz::Bytes(data, size));
  if (!doc.ok()) return 0;
  for (const char* indent : {"", "  ", "\t"}) {
    util::JsonWriter w = *indent == '\0' ? util::JsonWriter() : util::JsonWriter(indent);
    Write(*doc, &w);
    const std::string text = w.Take();
    auto again = json::Parse(text);
    if (!again.ok()) fuzz::Fail("writer output does not read: " + again.error().message() + "\n" + text);
    if (!Same(*doc, *again)) fuzz::Fail("writer output reads as other values:\n" + text);
    util::JsonWriter w2 = *indent == '\0' ? util::JsonWriter() : util::JsonWriter(indent);
    Write(*again, &w2);
    if (w2.str() != text) fuzz::Fail("writing what was read back gives other bytes:\n" + text + "\n" + w2.str());
    if (*indent == '\0' && text.find('\n') != std::string::npos) fuzz::Fail("compact output spans lines");
  }
  return 0;
}
