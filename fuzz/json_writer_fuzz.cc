// The JSON writer: any document the reader takes, written back compact and
// indented, re-reads as the same values, and writing what was re-read gives
// the same bytes. Numbers the writer has no form for (fractions, exponents,
// integers beyond 64 bits) are written as null.
#include <charconv>
#include <utility>
#include <vector>

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

// Walks hold their open levels on the heap: the reader takes nesting far
// deeper than a stack frame per level allows.

// An array or object being written, and its next element.
struct WriteLevel {
  const json::Value* v;
  size_t next;
};

// A scalar whole, or the start of an array or object, pushed onto `open`.
void Begin(const json::Value& v, util::JsonWriter* w, std::vector<WriteLevel>& open) {
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
      open.push_back({&v, 0});
      break;
    case json::Type::kObject:
      w->BeginObject();
      open.push_back({&v, 0});
      break;
  }
}

void Write(const json::Value& root, util::JsonWriter* w) {
  std::vector<WriteLevel> open;
  Begin(root, w, open);
  while (!open.empty()) {
    WriteLevel& level = open.back();
    const json::Value& v = *level.v;
    if (v.type == json::Type::kArray) {
      if (level.next == v.items.size()) {
        w->EndArray();
        open.pop_back();
      } else {
        Begin(v.items[level.next++], w, open);
      }
    } else if (level.next == v.members.size()) {
      w->EndObject();
      open.pop_back();
    } else {
      const json::Member& m = v.members[level.next++];
      w->Key(m.key);
      Begin(m.value, w, open);
    }
  }
}

// Whether `got` (re-read) holds the values of `want` (first read) as the
// writer was able to write them.
bool Same(const json::Value& want_root, const json::Value& got_root) {
  std::vector<std::pair<const json::Value*, const json::Value*>> pending = {{&want_root, &got_root}};
  while (!pending.empty()) {
    const auto [want, got] = pending.back();
    pending.pop_back();
    if (want->type == json::Type::kNumber) {
      int64_t i = 0, gi = 0;
      uint64_t u = 0, gu = 0;
      const Num form = NumberForm(*want, &i, &u);
      if (form == Num::kNone) {
        if (!got->is_null()) return false;
        continue;
      }
      if (got->type != json::Type::kNumber || NumberForm(*got, &gi, &gu) != form) return false;
      if (form == Num::kInt ? i != gi : u != gu) return false;
      continue;
    }
    if (want->type != got->type) return false;
    switch (want->type) {
      case json::Type::kNull: break;
      case json::Type::kBool:
        if (want->boolean != got->boolean) return false;
        break;
      case json::Type::kString:
        if (want->text != got->text) return false;
        break;
      case json::Type::kArray:
        if (want->items.size() != got->items.size()) return false;
        for (size_t k = 0; k < want->items.size(); ++k) pending.emplace_back(&want->items[k], &got->items[k]);
        break;
      case json::Type::kObject:
        if (want->members.size() != got->members.size()) return false;
        for (size_t k = 0; k < want->members.size(); ++k) {
          if (want->members[k].key != got->members[k].key) return false;
          pending.emplace_back(&want->members[k].value, &got->members[k].value);
        }
        break;
      case json::Type::kNumber: break;
    }
  }
  return true;
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
