// The checker and the reader: one value exactly, depth bound, string repair.
#include "internal/util/json_reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "internal/testing/json.h"
#include "internal/testing/stack.h"

namespace util::json {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(JsonParse, KeepsMembersInOrderWithDuplicatesAndNumberLiterals) {
  auto v = Parse(R"( {"b": 1, "a": [true, null, "x"], "b": -0, "n": 1.50e+3, "big": 18446744073709551616} )");
  ASSERT_TRUE(v.ok()) << v.error().message();
  ASSERT_EQ(v->type, Type::kObject);
  std::vector<std::string> keys;
  for (const Member& m : v->members) keys.push_back(m.key);
  EXPECT_THAT(keys, ElementsAre("b", "a", "b", "n", "big"));
  EXPECT_EQ(v->members[0].value.text, "1");
  EXPECT_EQ(v->members[2].value.text, "0");
  EXPECT_EQ(v->members[3].value.text, "1.50e+3");
  EXPECT_FALSE(v->members[3].value.IsIntegerLiteral());
  EXPECT_EQ(v->members[4].value.text, "18446744073709551616");
  EXPECT_TRUE(v->members[4].value.IsIntegerLiteral());
  const Value& a = v->members[1].value;
  ASSERT_EQ(a.items.size(), 3u);
  EXPECT_TRUE(a.items[0].boolean);
  EXPECT_TRUE(a.items[1].is_null());
  EXPECT_EQ(a.items[2].text, "x");
  // A generic map sees the last of two equal keys.
  ASSERT_NE(v->Get("b"), nullptr);
  EXPECT_EQ(v->Get("b")->text, "0");
  EXPECT_EQ(v->Get("B"), nullptr);
}

TEST(JsonParse, RefusesWhatIsNotExactlyOneValue) {
  const char* cases[] = {
      "",                 // empty
      "   \n",            // only white space
      "{\"a\":1} x",      // trailing garbage
      "{\"a\":1}{}",      // a second value
      "{\"a\":1,}",       // trailing comma
      "{'a':1}",          // not JSON quotes
      "{\"a\":01}",       // leading zero
      "{\"a\":\"\x01\"}",  // raw control byte in a string
      "\xEF\xBB\xBF{}",   // byte order mark
      "{\"a\":1} /*c*/",  // comments are not JSON
      "[1,2",             // truncated
  };
  for (const char* c : cases) {
    auto v = Parse(c);
    EXPECT_FALSE(v.ok()) << "accepted: " << c;
    if (!v.ok()) {
      EXPECT_THAT(v.error().message(), StartsWith("json: ")) << c;
    }
  }
}

TEST(JsonParse, BoundsNestingDepth) {
  // Every walk over a tree this deep must hold on a small stack: the parse,
  // the copy and the destruction.
  testutil::RunOnStack(testutil::kSmallStack, [] {
    auto v = Parse(testutil::NestedJson(kMaxDepth, "\"leaf\""));
    ASSERT_TRUE(v.ok()) << v.error().message();
    int levels = 0;
    EXPECT_EQ(testutil::NestedLeaf(*v, levels).text, "leaf");
    EXPECT_EQ(levels, kMaxDepth);
    Value copy = *v;
    v = Value();
    EXPECT_EQ(testutil::NestedLeaf(copy, levels).text, "leaf");
    EXPECT_EQ(levels, kMaxDepth);
    copy = *Parse("[1]");
    EXPECT_EQ(copy.items.size(), 1u);
  });
  for (const std::string& deep : {std::string(10001, '[') + std::string(10001, ']'),
                                  testutil::NestedJson(10001, "1"), testutil::NestedJson(10000, "{}")}) {
    auto v = Parse(deep);
    ASSERT_FALSE(v.ok()) << deep.substr(0, 40);
    EXPECT_EQ(v.error().message(), "json: exceeded max depth of 10000");
  }
  // Far deeper input fails the same way without exhausting the stack.
  EXPECT_FALSE(Parse(std::string(1 << 20, '[')).ok());
}

TEST(JsonParse, RepairsInvalidTextInsideStringsOnly) {
  struct Case {
    std::string in;
    std::string want;
  } cases[] = {
      {"\"a\xFF" "b\"", "a\xEF\xBF\xBD" "b"},
      {"\"\xC3\"", "\xEF\xBF\xBD"},                      // cut sequence
      {"\"\xED\xA0\x80\"", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // UTF-8 surrogate
      {"\"\\ud800x\"", "\xEF\xBF\xBDx"},                 // lone high surrogate escape
      {"\"\\udc00\"", "\xEF\xBF\xBD"},                   // lone low surrogate escape
      {"\"\\ud800\\u0041\"", "\xEF\xBF\xBD" "A"},        // high then non-low
      {"\"\\ud83d\\ude00\"", "\xF0\x9F\x98\x80"},        // a real pair stays
      {"\"\\\\ud800\"", "\\ud800"},                      // escaped backslash, not an escape
      {"\"caf\xC3\xA9\"", "caf\xC3\xA9"},
  };
  for (const Case& c : cases) {
    auto v = Parse(c.in);
    ASSERT_TRUE(v.ok()) << c.in << ": " << v.error().message();
    EXPECT_EQ(v->text, c.want) << c.in;
  }
  EXPECT_FALSE(Parse("\xFF").ok());
  EXPECT_FALSE(Parse("{\"a\":1}\xFF").ok());
}

}  // namespace
}  // namespace util::json
