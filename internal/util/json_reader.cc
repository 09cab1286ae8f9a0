// The reader of checked JSON text: lazy values, Parse and the walks over
// arrays and objects that the binder and the list decoders build on.
#include "internal/util/json_reader.h"

#include <sys/mman.h>

#include <cstring>
#include <cstdint>
#include <utility>
#include <vector>

#include "internal/util/utf8.h"

#include "internal/util/json_text.h"

namespace util::json {

namespace text {

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

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

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

}  // namespace

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

// The whole tree of a value, built in one pass over its text with the open
// levels on the heap: neither the stack nor the work grows with the depth.
// Only the innermost open level takes new elements, so the pointers to the
// open levels, each the last element of the one above, stay valid.
Value Materialize(const Value& v) {
  if (v.raw.empty()) return v;
  const std::string_view raw = v.raw;
  Value root;
  root.type = v.type;
  std::vector<Value*> open = {&root};
  size_t pos = 1;
  while (!open.empty()) {
    pos = SkipSpaceAt(raw, pos);
    const char c = raw[pos];
    if (c == '}' || c == ']') {
      open.pop_back();
      ++pos;
      continue;
    }
    if (c == ',') {
      ++pos;
      continue;
    }
    Value& level = *open.back();
    Value* item;
    if (level.type == Type::kObject) {
      const size_t key_end = StringEnd(raw, pos);
      level.members.push_back(Member{DecodeStringLiteral(raw.substr(pos, key_end - pos)), Value()});
      item = &level.members.back().value;
      pos = SkipSpaceAt(raw, SkipSpaceAt(raw, key_end) + 1);  // past ':'
    } else {
      item = &level.items.emplace_back();
    }
    if (raw[pos] == '{' || raw[pos] == '[') {
      item->type = raw[pos] == '{' ? Type::kObject : Type::kArray;
      open.push_back(item);
      ++pos;
    } else {
      const size_t end = ValueEnd(raw, pos);
      *item = LazyValue(raw.substr(pos, end - pos));
      pos = end;
    }
  }
  return root;
}

}  // namespace text

using namespace text;

namespace {

// A level of a tree being destroyed: its children, taken from their owner,
// and the next child to take apart.
struct DoomedLevel {
  std::vector<Value> items;
  std::vector<Member> members;
  size_t next = 0;
};

}  // namespace

Value::~Value() {
  if (items.empty() && members.empty()) return;
  // Depth first, in the order a recursive destructor takes, but with the
  // open levels on the heap: each child's own children are moved out before
  // it dies, so every destructor that runs meets a value without children.
  std::vector<DoomedLevel> open;
  open.push_back({std::move(items), std::move(members)});
  while (!open.empty()) {
    DoomedLevel& level = open.back();
    const size_t n = level.items.size();
    Value* child = nullptr;
    while (level.next < n + level.members.size() && child == nullptr) {
      Value& v = level.next < n ? level.items[level.next] : level.members[level.next - n].value;
      ++level.next;
      if (!v.items.empty() || !v.members.empty()) child = &v;
    }
    if (child == nullptr) {
      open.pop_back();
    } else {
      open.push_back({std::move(child->items), std::move(child->members)});
    }
  }
}

Value::Value(const Value& other) {
  // Most values copied are scalars or unread text: no list of pending
  // copies for them.
  if (other.items.empty() && other.members.empty()) {
    type = other.type;
    boolean = other.boolean;
    text = other.text;
    raw = other.raw;
    raw_items = other.raw_items;
    return;
  }
  std::vector<std::pair<const Value*, Value*>> pending = {{&other, this}};
  while (!pending.empty()) {
    const auto [from, to] = pending.back();
    pending.pop_back();
    to->type = from->type;
    to->boolean = from->boolean;
    to->text = from->text;
    to->raw = from->raw;
    to->raw_items = from->raw_items;
    // Sized once before any pointer into them is kept.
    to->items.resize(from->items.size());
    for (size_t k = 0; k < from->items.size(); ++k) pending.emplace_back(&from->items[k], &to->items[k]);
    to->members.resize(from->members.size());
    for (size_t k = 0; k < from->members.size(); ++k) {
      to->members[k].key = from->members[k].key;
      pending.emplace_back(&from->members[k].value, &to->members[k].value);
    }
  }
}

Value& Value::operator=(const Value& other) {
  if (this != &other) *this = Value(other);
  return *this;
}

Value::Value(Value&& other) noexcept = default;
Value& Value::operator=(Value&& other) noexcept = default;

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
  size_t top_end = 0;
  size_t top_items = 0;
  ZOL_TRY(CheckDocument(data, top_end, top_items));
  size_t start = SkipSpaceAt(data, 0);
  Value v = LazyValue(data.substr(start, top_end - start));
  if (v.type == Type::kArray) v.raw_items = top_items;
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

}  // namespace util::json
