// The one JSON reader of the system, for every file it reads back (manifests,
// signature records, the registry, build recipes, runtime.json).
//
// Reading happens in two steps. The text is first checked whole, so a syntax
// error is reported before any type error and nothing is bound from a broken
// document. The binding layer then fills plain C++ records straight from the
// text by these rules:
//   - a key names a field when it equals the field's key exactly, else when it
//     equals it without regard to letter case under Unicode simple folding
//     (so "ID", "Id" and "id" all name "id", U+017F names "s", U+212A "k");
//   - members are applied in document order, each over the result of the
//     earlier ones: a later scalar or list replaces the earlier value, a later
//     object sets only the keys it holds;
//   - keys that name no field are ignored, at any level, whatever they hold
//     (a number beyond any machine range included);
//   - null empties a list, a map or an optional record and leaves a string,
//     number, bool or nested record unchanged;
//   - a value of the wrong JSON type fails the whole read, and so does an
//     integer field given a fraction, an exponent or a number beyond int64.
// Map keys (as in "env") match exactly; a repeated map key replaces the
// earlier value.
//
// Cost: binding walks the text of each object or array that a record reads,
// and skips the values of unknown keys without keeping them, so a document
// costs time linear in its length (times the depth of the record types, a
// small constant) and memory for what the records keep, never for a tree of
// the whole document. Merging a repeated object or map costs only what that
// member holds. Parse, which does build the whole tree, is for small
// documents read without a record type.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "internal/util/error.h"

namespace util::json {

enum class Type { kNull, kBool, kNumber, kString, kArray, kObject };

// Objects and arrays nested deeper than this are refused, wherever they are,
// even under a key that no field reads. No walk over a value or its text
// recurses per level, so the bound is not there for the stack: it is the
// nesting the stored files' first reader took, and no record comes near it.
inline constexpr int kMaxDepth = 10000;

struct Member;

struct Value {
  Type type = Type::kNull;
  bool boolean = false;
  // kString: the decoded text (UTF-8). kNumber: the literal as written.
  std::string text;
  std::vector<Value> items;     // kArray
  std::vector<Member> members;  // kObject: document order, duplicates kept
  // An array or object handed to binders by DecodeDocument: its checked text,
  // read on demand; items and members stay empty. Points into the document,
  // which outlives the binding.
  std::string_view raw;
  // The number of elements of `raw` when the check counted them (the
  // document's own array), else kUncounted.
  static constexpr size_t kUncounted = static_cast<size_t>(-1);
  size_t raw_items = kUncounted;

  Value() = default;
  // A tree is copied and destroyed level by level on the heap, not by
  // recursion, so a value nested kMaxDepth deep costs no stack of that
  // depth. Moves take the children whole.
  Value(const Value& other);
  Value& operator=(const Value& other);
  Value(Value&& other) noexcept;
  Value& operator=(Value&& other) noexcept;
  ~Value();

  bool is_null() const { return type == Type::kNull; }
  // A number literal without fraction or exponent.
  bool IsIntegerLiteral() const;
  // The value of the last member whose key equals `key` exactly, as a generic
  // map reads it; null when absent or when this is not an object.
  const Value* Get(std::string_view key) const;
};

struct Member {
  std::string key;
  Value value;
};

// Parses exactly one JSON value followed only by white space. Empty input,
// malformed JSON, trailing data and nesting beyond kMaxDepth are errors.
// Bytes that are not valid UTF-8 inside strings, and escaped surrogates that
// do not form a pair, read as U+FFFD.
Result<Value> Parse(std::string_view data);

// The same checks as Parse, but arrays and objects stay as text (Value::raw)
// in `data`, which must outlive the value and everything read from it.
Result<Value> ParseLazy(std::string_view data);

// The number of elements of an array (0 for anything else).
size_t CountItems(const Value& array);

// Calls `fn` for each element of an array, in order, or for each member of an
// object, whichever form the value has; stops at the first error.
Error ForEachItem(const Value& array, const std::function<Error(const Value&)>& fn);
Error ForEachMember(const Value& object,
                    const std::function<Error(std::string_view key, const Value&)>& fn);

// ---- Binding to records ----
//
// `path` names the value in messages: "" for the whole document, else the
// record type followed by the dotted keys ("Manifest.entry.args").
// Messages read "json: cannot unmarshal string into field Manifest.id of
// type int64" (or "into value of type Manifest" for the document itself).

// One field of a record: its key as written and how to apply one member.
// The plain scalars (Bind of a string, bool or int64) are applied by the
// reader itself through `target`, with no call and no path text unless the
// member fails; every other field applies members through `decode`.
struct Field {
  enum class Kind : unsigned char { kCustom, kString, kBool, kInt64 };

  Field(std::string_view k, std::function<Error(const Value& value, const std::string& path)> d)
      : key(k), decode(std::move(d)) {}
  Field(std::string_view k, Kind kd, void* t) : key(k), kind(kd), target(t) {}

  std::string_view key;  // ASCII
  std::function<Error(const Value& value, const std::string& path)> decode;
  Kind kind = Kind::kCustom;
  void* target = nullptr;  // the std::string, bool or int64_t of a scalar kind
};

// Applies the members of `value` (an object, or null which changes nothing)
// to the fields; `type` names the record in messages. A record's decoder is
// usually just this call:
//
//   Error DecodeEntry(const json::Value& v, const std::string& path, Entry& e) {
//     return json::DecodeObject(v, "Entry", path, {
//         json::Bind("command", e.Command),
//         json::Bind("args", e.Args),
//     });
//   }
Error DecodeObject(const Value& value, std::string_view type, const std::string& path,
                   std::initializer_list<Field> fields);

// The type error for `value` met where `type` was wanted; for custom fields.
Error TypeError(const Value& value, const std::string& path, std::string_view type);

// Scalars: the JSON type must match; null leaves the field unchanged.
Field Bind(std::string_view key, std::string& out);
Field Bind(std::string_view key, bool& out);
Field Bind(std::string_view key, int64_t& out);
// A container that also remembers being null, for records that are written
// back as they were read: null and "[]" (or "{}") stay apart. It is used as
// the container itself. It is null while it is empty and has never been given
// a value: default-constructed (as a record's zero value) or read as null. A
// container that holds an element is never null; assigning a container
// (vector, map) makes it present, but assigning `{}` gives a null one: use
// Empty() for an empty container that is written as "[]" / "{}".
template <class C>
class Nullable : public C {
 public:
  using C::C;
  Nullable() = default;
  Nullable(C c) : C(std::move(c)), present_(true) {}  // NOLINT: implicit by design
  static Nullable Empty() { return Nullable(C{}); }
  bool is_null() const { return !present_ && this->empty(); }
  void SetNull() {
    this->clear();
    present_ = false;
  }

 private:
  bool present_ = false;
};

using NullableStrings = Nullable<std::vector<std::string>>;
using NullableStringMap = Nullable<std::map<std::string, std::string>>;

// Lists of strings: a later list replaces the earlier one; null empties the
// list (the nullable form becomes null, "[]" gives an empty, present list).
// A null element reads as "".
Field Bind(std::string_view key, std::vector<std::string>& out);
Field Bind(std::string_view key, NullableStrings& out);
// Maps from string to string: members are added over the existing map;
// null empties it (null in the nullable form). A null value reads as "".
Field Bind(std::string_view key, std::map<std::string, std::string>& out);
Field Bind(std::string_view key, NullableStringMap& out);
// Any value, kept as its whole tree; a later member replaces the earlier one.
Field Bind(std::string_view key, Value& out);

// The decoder of one record type: DecodeObject over its fields.
template <class T>
using RecordDecoder = Error (*)(const Value& value, const std::string& path, T& out);

inline std::string FieldPath(std::string_view type, const std::string& path,
                             std::string_view key) {
  std::string p = path.empty() ? std::string(type) : path;
  p += '.';
  p += key;
  return p;
}

// A nested record: an object merges into it, null leaves it unchanged.
template <class T>
Field BindRecord(std::string_view key, T& out, RecordDecoder<T> decode) {
  return {key, [&out, decode](const Value& v, const std::string& path) {
            return decode(v, path, out);
          }};
}

// An optional record: absent or null means no record; an object creates the
// record when there is none and then merges into it.
template <class T>
Field BindRecord(std::string_view key, std::optional<T>& out, RecordDecoder<T> decode) {
  return {key, [&out, decode](const Value& v, const std::string& path) -> Error {
            if (v.is_null()) {
              out.reset();
              return Error();
            }
            bool fresh = !out.has_value();
            if (fresh) out.emplace();
            Error err = decode(v, path, *out);
            if (!err.ok() && fresh) out.reset();
            return err;
          }};
}

// Asks for huge pages behind the whole 2 MiB pages within [p, p + n), for a
// large list about to be filled front to back: where fresh memory is dear
// (as in many virtual machines) they cost far less than a fault per 4 KiB.
// Measured on such a host, the registry's list of 10,000 records alone made
// "list" a tenth faster.
inline constexpr size_t kHugePage = 2 << 20;
void AdviseHugePages(void* p, size_t n);

// A list of records (also usable for a whole document that is a list): null
// empties it; an array replaces it, each element decoded into a fresh record.
// `elem_type` names the record in messages.
template <class T>
Error DecodeList(const Value& value, std::string_view elem_type, const std::string& path,
                 std::vector<T>& out, RecordDecoder<T> decode) {
  if (value.is_null()) {
    out.clear();
    return Error();
  }
  if (value.type != Type::kArray) return TypeError(value, path, "[]" + std::string(elem_type));
  std::vector<T> items;
  const size_t count = CountItems(value);
  if (count * sizeof(T) < kHugePage) {
    items.reserve(count);
  } else {
    // Room to the end of the last huge page the elements reach, so that it
    // can be one.
    items.reserve(count + kHugePage / sizeof(T));
    AdviseHugePages(items.data(), items.capacity() * sizeof(T));
  }
  ZOL_TRY(ForEachItem(value, [&](const Value& item) {
    items.emplace_back();
    return decode(item, path, items.back());
  }));
  out = std::move(items);
  return Error();
}

template <class T>
Field BindList(std::string_view key, std::string_view elem_type, std::vector<T>& out,
               RecordDecoder<T> decode) {
  return {key, [&out, elem_type, decode](const Value& v, const std::string& path) {
            return DecodeList(v, elem_type, path, out, decode);
          }};
}

// Checks `data` and decodes the document into `out` with `decode`, binding
// straight from the text. On failure `out` may hold part of the document:
// callers drop it.
template <class T>
Error DecodeDocument(std::string_view data, T& out, RecordDecoder<T> decode) {
  Result<Value> doc = ParseLazy(data);
  if (!doc.ok()) return doc.error();
  return decode(*doc, "", out);
}

}  // namespace util::json
