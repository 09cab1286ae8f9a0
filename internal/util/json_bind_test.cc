// The binder: field matching, merging, null and type rules.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "internal/testing/json.h"
#include "internal/testing/stack.h"
#include "internal/util/json_reader.h"

// Every allocation of this test program is counted, so a test can bound the
// work a read does by what it allocates rather than by the clock, which a
// loaded machine or a sanitizer slows without any fault.
namespace {
std::atomic<uint64_t> g_allocations{0};
}  // namespace

__attribute__((noinline)) void* operator new(size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
// Out of line: inlined, GCC takes the free() for one of a mismatched pair.
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete[](void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, size_t) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace util::json {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Pair;
using ::testing::StartsWith;

// A record exercising every binder.
struct Inner {
  std::string a;
  std::string b;
};
struct Item {
  std::string name;
  int64_t n = 0;
};
struct Rec {
  std::string ab;
  std::string AB;
  std::string kind;
  bool ok = false;
  int64_t count = 0;
  std::vector<std::string> words;
  NullableStrings maybe;
  std::map<std::string, std::string> env;
  NullableStringMap maybe_env;
  Inner inner;
  std::optional<Inner> opt;
  std::vector<Item> items;
  Value any;
};

Error DecodeInner(const Value& v, const std::string& path, Inner& r) {
  return DecodeObject(v, "Inner", path, {Bind("a", r.a), Bind("b", r.b)});
}
Error DecodeItem(const Value& v, const std::string& path, Item& r) {
  return DecodeObject(v, "Item", path, {Bind("name", r.name), Bind("n", r.n)});
}
Error DecodeRec(const Value& v, const std::string& path, Rec& r) {
  return DecodeObject(v, "Rec", path,
                      {
                          Bind("ab", r.ab),
                          Bind("AB", r.AB),
                          Bind("kind", r.kind),
                          Bind("ok", r.ok),
                          Bind("count", r.count),
                          Bind("words", r.words),
                          Bind("maybe", r.maybe),
                          Bind("env", r.env),
                          Bind("maybe_env", r.maybe_env),
                          BindRecord("inner", r.inner, DecodeInner),
                          BindRecord("opt", r.opt, DecodeInner),
                          BindList("items", "Item", r.items, DecodeItem),
                          Bind("any", r.any),
                      });
}

Result<Rec> Read(std::string_view text) {
  Rec r;
  Error err = DecodeDocument(text, r, DecodeRec);
  if (!err.ok()) return err;
  return r;
}

TEST(JsonBind, ExactKeyBeatsFoldedOne) {
  // "ab" comes first in the table and folds to "AB", yet "AB" has its own field.
  auto r = Read(R"({"AB": "x", "Ab": "y", "aB": "z"})");
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->AB, "x");
  EXPECT_EQ(r->ab, "z");
}

TEST(JsonBind, FoldsKeysUnderSimpleCaseFolding) {
  struct Case {
    const char* doc;
    const char* want;
  } cases[] = {
      {R"({"KIND": "a"})", "a"},
      {R"({"\u212Aind": "b"})", "b"},      // KELVIN SIGN folds to k
      {"{\"\xE2\x84\xAAIND\": \"c\"}", "c"},  // the same, written raw
      {R"({"kınd": "d"})", ""},            // dotless i does not fold to i
      {R"({"kind ": "e"})", ""},           // nothing is trimmed
      {R"({"kin": "f"})", ""},
  };
  for (const Case& c : cases) {
    auto r = Read(c.doc);
    ASSERT_TRUE(r.ok()) << c.doc << ": " << r.error().message();
    EXPECT_EQ(r->kind, c.want) << c.doc;
  }
}

TEST(JsonBind, AppliesDuplicatesInDocumentOrder) {
  auto r = Read(R"({
    "inner": {"a": "1", "b": "2"}, "INNER": {"b": "3"},
    "words": ["x", "y"], "Words": ["z"],
    "env": {"A": "1", "B": "2"}, "env": {"B": "3", "C": "4"},
    "opt": {"a": "1"}, "opt": {"b": "2"},
    "items": [{"name": "p", "n": 1}, {"name": "q"}], "items": [{"n": 2}],
    "any": {"deep": [1]}, "any": "s",
    "count": 1, "count": null
  })");
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->inner.a, "1");
  EXPECT_EQ(r->inner.b, "3");
  EXPECT_THAT(r->words, ElementsAre("z"));
  EXPECT_THAT(r->env, ElementsAre(Pair("A", "1"), Pair("B", "3"), Pair("C", "4")));
  ASSERT_TRUE(r->opt.has_value());
  EXPECT_EQ(r->opt->a, "1");
  EXPECT_EQ(r->opt->b, "2");
  // A later list replaces the earlier one whole; its records start fresh.
  ASSERT_EQ(r->items.size(), 1u);
  EXPECT_EQ(r->items[0].name, "");
  EXPECT_EQ(r->items[0].n, 2);
  EXPECT_EQ(r->any.type, Type::kString);
  EXPECT_EQ(r->count, 1);
}

TEST(JsonBind, NullEmptiesContainersAndLeavesScalars) {
  auto r = Read(R"({
    "ab": "keep", "ab": null, "ok": true, "ok": null,
    "words": ["a"], "words": null, "maybe": ["a"], "maybe": null,
    "env": {"A": "1"}, "env": null, "maybe_env": {"A": "1"}, "maybe_env": null,
    "inner": {"a": "1"}, "inner": null, "opt": {"a": "1"}, "opt": null,
    "items": [{}], "items": null
  })");
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->ab, "keep");
  EXPECT_TRUE(r->ok);
  EXPECT_TRUE(r->words.empty());
  EXPECT_TRUE(r->maybe.is_null());
  EXPECT_TRUE(r->env.empty());
  EXPECT_TRUE(r->maybe_env.is_null());
  EXPECT_EQ(r->inner.a, "1");
  EXPECT_FALSE(r->opt.has_value());
  EXPECT_TRUE(r->items.empty());
}

TEST(JsonBind, TellsEmptyFromNull) {
  auto r = Read(R"({"maybe": [], "maybe_env": {}, "words": [null, "b"], "env": {"K": null}})");
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_FALSE(r->maybe.is_null());
  EXPECT_TRUE(r->maybe.empty());
  EXPECT_FALSE(r->maybe_env.is_null());
  EXPECT_TRUE(r->maybe_env.empty());
  EXPECT_THAT(r->words, ElementsAre("", "b"));
  EXPECT_THAT(r->env, ElementsAre(Pair("K", "")));
  NullableStrings made;
  EXPECT_TRUE(made.is_null());
  made.push_back("x");
  EXPECT_FALSE(made.is_null());
  EXPECT_FALSE(NullableStrings::Empty().is_null());
  made = std::vector<std::string>{};
  EXPECT_FALSE(made.is_null());
  auto absent = Read("{}");
  ASSERT_TRUE(absent.ok());
  EXPECT_TRUE(absent->maybe.is_null());
  EXPECT_FALSE(absent->opt.has_value());
}

TEST(JsonBind, WrongTypesFailTheWholeRead) {
  struct Case {
    const char* doc;
    const char* message;
  } cases[] = {
      {R"({"ab": 1})", "json: cannot unmarshal number into field Rec.ab of type string"},
      {R"({"ok": "true"})", "json: cannot unmarshal string into field Rec.ok of type bool"},
      {R"({"count": "1"})", "json: cannot unmarshal string into field Rec.count of type int64"},
      {R"({"count": 1.0})", "json: cannot unmarshal number 1.0 into field Rec.count of type int64"},
      {R"({"count": 1e2})", "json: cannot unmarshal number 1e2 into field Rec.count of type int64"},
      {R"({"count": 9223372036854775808})",
       "json: cannot unmarshal number 9223372036854775808 into field Rec.count of type int64"},
      {R"({"count": -9223372036854775809})",
       "json: cannot unmarshal number -9223372036854775809 into field Rec.count of type int64"},
      {R"({"words": "a"})", "json: cannot unmarshal string into field Rec.words of type []string"},
      {R"({"words": {}})", "json: cannot unmarshal object into field Rec.words of type []string"},
      {R"({"maybe": ["a", 2]})", "json: cannot unmarshal number into field Rec.maybe of type string"},
      {R"({"env": []})", "json: cannot unmarshal array into field Rec.env of type map[string]string"},
      {R"({"env": {"A": true}})", "json: cannot unmarshal bool into field Rec.env of type string"},
      {R"({"inner": []})", "json: cannot unmarshal array into field Rec.inner of type Inner"},
      {R"({"inner": {"a": false}})", "json: cannot unmarshal bool into field Rec.inner.a of type string"},
      {R"({"opt": "x"})", "json: cannot unmarshal string into field Rec.opt of type Inner"},
      {R"({"items": [{"n": 0.5}]})", "json: cannot unmarshal number 0.5 into field Rec.items.n of type int64"},
      {R"({"items": {}})", "json: cannot unmarshal object into field Rec.items of type []Item"},
      {"[]", "json: cannot unmarshal array into value of type Rec"},
      {"\"x\"", "json: cannot unmarshal string into value of type Rec"},
      // A good key after the bad one does not rescue the read.
      {R"({"count": "1", "ab": "fine"})", "json: cannot unmarshal string into field Rec.count of type int64"},
  };
  for (const Case& c : cases) {
    auto r = Read(c.doc);
    ASSERT_FALSE(r.ok()) << "accepted: " << c.doc;
    EXPECT_EQ(r.error().message(), c.message) << c.doc;
  }
}

TEST(JsonBind, ReadsIntegersAtTheEdgesAndIgnoresUnknownKeys) {
  auto r = Read(R"({"count": -9223372036854775808, "extra": {"count": "x", "deep": [[{}]]},
                    "inner": {"zzz": 1, "a": "v"}})");
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->count, INT64_MIN);
  EXPECT_EQ(r->inner.a, "v");
  auto max = Read(R"({"count": 9223372036854775807})");
  ASSERT_TRUE(max.ok());
  EXPECT_EQ(max->count, INT64_MAX);
}

TEST(JsonBind, NullDocumentAndListDocuments) {
  auto r = Read("null");
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->ab, "");
  // A document that is a list of records, as the registry is.
  std::vector<Item> items = {Item{"old", 1}};
  auto doc = Parse(R"([{"name": "a"}, {"NAME": "b", "n": 3}])");
  ASSERT_TRUE(doc.ok());
  ASSERT_TRUE(DecodeList(*doc, "Item", "", items, DecodeItem).ok());
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[1].name, "b");
  EXPECT_EQ(items[1].n, 3);
  auto null_doc = Parse("null");
  ASSERT_TRUE(null_doc.ok());
  ASSERT_TRUE(DecodeList(*null_doc, "Item", "", items, DecodeItem).ok());
  EXPECT_TRUE(items.empty());
  auto obj = Parse("{}");
  ASSERT_TRUE(obj.ok());
  EXPECT_EQ(DecodeList(*obj, "Item", "", items, DecodeItem).message(),
            "json: cannot unmarshal object into value of type []Item");
}

}  // namespace
}  // namespace util::json

namespace util::json {
namespace {

TEST(JsonBind, NumbersBeyondAnyRangeFailOnlyWhereAFieldReadsThem) {
  // Under keys that name no field, at any level, they are skipped.
  auto r = Read(R"({"note": 1e400, "inner": {"zzz": -1e999, "a": "v"}, "extra": [1e400, {"x": 1E+99999}]})");
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->inner.a, "v");
  struct Case {
    const char* doc;
    const char* message;
  } cases[] = {
      {R"({"count": 1e400})", "json: cannot unmarshal number 1e400 into field Rec.count of type int64"},
      {R"({"count": 100000000000000000000000})",
       "json: cannot unmarshal number 100000000000000000000000 into field Rec.count of type int64"},
      {R"({"ab": 1e400})", "json: cannot unmarshal number into field Rec.ab of type string"},
      {R"({"items": [{"n": -1e400}]})", "json: cannot unmarshal number -1e400 into field Rec.items.n of type int64"},
  };
  for (const Case& c : cases) {
    auto bad = Read(c.doc);
    ASSERT_FALSE(bad.ok()) << "accepted: " << c.doc;
    EXPECT_EQ(bad.error().message(), c.message) << c.doc;
  }
  // A generic tree keeps the literal.
  auto tree = Parse(R"({"n": 1e400})");
  ASSERT_TRUE(tree.ok()) << tree.error().message();
  EXPECT_EQ(tree->Get("n")->text, "1e400");
}

TEST(JsonBind, SyntaxIsCheckedWholeBeforeAnyField) {
  // The type error comes first in the text, yet the broken syntax is what is
  // reported, so no record is ever bound from a broken document.
  for (const char* doc : {R"({"count": "1", "ab": )", R"({"count": "1"} x)", R"({"count": "1", "ab": tru})"}) {
    auto r = Read(doc);
    ASSERT_FALSE(r.ok()) << doc;
    EXPECT_THAT(r.error().message(), StartsWith("json: ")) << doc;
    EXPECT_THAT(r.error().message(), ::testing::Not(HasSubstr("unmarshal"))) << doc;
  }
}

// Repeated members used to copy everything merged so far, so a document of
// 20,000 repeats after a 20,000-key map took minutes; each merge now costs
// only its own member.
TEST(JsonBind, RepeatedMembersMergeInWorkOfTheirOwnSize) {
  constexpr int kKeys = 20000;
  std::string doc = R"({"env": {)";
  for (int i = 0; i < kKeys; ++i) doc += (i ? ",\"K" : "\"K") + std::to_string(i) + "\": \"v\"";
  doc += "}";
  for (int i = 0; i < kKeys; ++i) doc += R"(, "env": {"K0": "w"}, "maybe_env": {"A": "1"}, "inner": {"a": "x"})";
  doc += R"(, "ENV": {"Z": "z"}})";
  const uint64_t before = g_allocations.load();
  auto r = Read(doc);
  const uint64_t allocations = g_allocations.load() - before;
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->env.size(), static_cast<size_t>(kKeys) + 1);
  EXPECT_EQ(r->env["K0"], "w");
  EXPECT_EQ(r->env["Z"], "z");
  EXPECT_EQ(r->inner.a, "x");
  // The map's own nodes and keys, and a few for each repeat; copying the
  // merged map on every repeat took kKeys allocations each time.
  EXPECT_LT(allocations, 8u * kKeys);
}

TEST(JsonBind, LazyAndWholeTreesBindAlike) {
  const char* doc = R"({"words": ["a", "\u00e9\ud83d\ude00", "q\"\\/\b\f\n\r\t"], "env": {"K\u0041": "v", "B": null},
                        "items": [{"name": "x", "n": -0}], "any": {"k": [1, "s", null, true]}, "unknown": {"]": "["}})";
  auto tree = Parse(doc);
  ASSERT_TRUE(tree.ok());
  Rec whole;
  ASSERT_TRUE(DecodeRec(*tree, "", whole).ok());
  auto lazy = Read(doc);
  ASSERT_TRUE(lazy.ok()) << lazy.error().message();
  EXPECT_EQ(lazy->words, whole.words);
  EXPECT_THAT(lazy->words, ElementsAre("a", "\xC3\xA9\xF0\x9F\x98\x80", "q\"\\/\b\f\n\r\t"));
  EXPECT_EQ(lazy->env, whole.env);
  EXPECT_THAT(lazy->env, ElementsAre(Pair("B", ""), Pair("KA", "v")));
  ASSERT_EQ(lazy->items.size(), 1u);
  EXPECT_EQ(lazy->items[0].name, "x");
  // The kept tree is whole, not a view into the text.
  ASSERT_EQ(lazy->any.type, Type::kObject);
  ASSERT_EQ(lazy->any.members.size(), 1u);
  EXPECT_TRUE(lazy->any.raw.empty());
  EXPECT_EQ(lazy->any.members[0].value.items.size(), 4u);
}

// A string's end is the first quote after an even run of backslashes, in
// keys, in values and in values skipped unread.
TEST(JsonBind, BackslashRunsBeforeAQuote) {
  const char* doc = R"({"x\\": {"\"": "\\\""}, "kind": "a\\", "words": ["\\\\", "\"\\\"", "\u0022"],
                        "k\u0069nd\\": 1, "count": 2})";
  auto r = Read(doc);
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->kind, "a\\");
  EXPECT_THAT(r->words, ElementsAre("\\\\", "\"\\\"", "\""));
  EXPECT_EQ(r->count, 2);
}

// A value as deep as the reader takes, skipped unread under a key no field
// names or kept whole in a Value field, costs no stack of its depth: not to
// bind, copy or destroy.
TEST(JsonBind, DeepValuesNeedNoDeepStack) {
  testutil::RunOnStack(testutil::kSmallStack, [] {
    const std::string nested = testutil::NestedJson(kMaxDepth - 1, "\"leaf\"");
    auto r = Read(R"({"kind": "a", "unknown": )" + nested + R"(, "any": )" + nested + R"(, "count": 2})");
    ASSERT_TRUE(r.ok()) << r.error().message();
    EXPECT_EQ(r->kind, "a");
    EXPECT_EQ(r->count, 2);
    const Rec copy = *r;
    r = Rec();
    int levels = 0;
    EXPECT_EQ(testutil::NestedLeaf(copy.any, levels).text, "leaf");
    EXPECT_EQ(levels, kMaxDepth - 1);
  });
  auto r = Read(R"({"unknown": )" + testutil::NestedJson(kMaxDepth, "1") + "}");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "json: exceeded max depth of 10000");
}

}  // namespace
}  // namespace util::json
