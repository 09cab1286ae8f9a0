#include "internal/util/json_writer.h"

#include <gtest/gtest.h>

namespace util {
namespace {

TEST(JsonQuote, EscapesAsTheStoredFilesDo) {
  struct Case {
    std::string in, want;
  };
  const Case cases[] = {
      {"", R"("")"},
      {"plain /opt/zol", R"("plain /opt/zol")"},
      {"a\"b\\c", R"("a\"b\\c")"},
      {"<script>&</script>", R"("\u003cscript\u003e\u0026\u003c/script\u003e")"},
      {"l1\nl2\rl3\tx", R"("l1\nl2\rl3\tx")"},
      {std::string("\x00\x01\x08\x0c\x1f", 5), R"("\u0000\u0001\u0008\u000c\u001f")"},
      {"\x7f", "\"\x7f\""},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
      {"\xe2\x80\xa8|\xe2\x80\xa9", R"("\u2028|\u2029")"},
      // Invalid UTF-8: each bad byte becomes one replacement escape.
      {"a\xff" "b", R"("a\ufffdb")"},
      {"\xc3", R"("\ufffd")"},
      {"\xe2\x82", R"("\ufffd\ufffd")"},
      {"\xc0\xaf", R"("\ufffd\ufffd")"},          // overlong "/"
      {"\xed\xa0\x80", R"("\ufffd\ufffd\ufffd")"},  // surrogate
      {"\xf4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")"},  // past U+10FFFF
  };
  for (const auto& c : cases) EXPECT_EQ(JsonQuote(c.in), c.want) << c.in;
}

// The record layouts the system writes, compact and indented.
void WriteSample(JsonWriter& w) {
  w.BeginObject();
  w.Field("id", "com.calderim.app");
  w.Field("n", 7);
  w.Field("neg", int64_t{-1});
  w.Field("ok", true);
  w.Field("empty_list", std::vector<std::string>{});
  w.Field("list", std::vector<std::string>{"a", "b"});
  w.Key("empty_obj");
  w.BeginObject();
  w.EndObject();
  w.Key("nested");
  w.BeginObject();
  w.Field("k", "v");
  w.EndObject();
  w.Key("nothing");
  w.Null();
  w.EndObject();
}

TEST(JsonWriter, CompactAndIndentedLayouts) {
  JsonWriter compact;
  WriteSample(compact);
  EXPECT_EQ(compact.str(),
            R"({"id":"com.calderim.app","n":7,"neg":-1,"ok":true,"empty_list":[],"list":["a","b"],)"
            R"("empty_obj":{},"nested":{"k":"v"},"nothing":null})");

  JsonWriter indented("  ");
  WriteSample(indented);
  EXPECT_EQ(indented.str(),
            "{\n"
            "  \"id\": \"com.calderim.app\",\n"
            "  \"n\": 7,\n"
            "  \"neg\": -1,\n"
            "  \"ok\": true,\n"
            "  \"empty_list\": [],\n"
            "  \"list\": [\n"
            "    \"a\",\n"
            "    \"b\"\n"
            "  ],\n"
            "  \"empty_obj\": {},\n"
            "  \"nested\": {\n"
            "    \"k\": \"v\"\n"
            "  },\n"
            "  \"nothing\": null\n"
            "}");
}

TEST(JsonWriter, ArrayOfRecordsAndEmptyTopLevel) {
  JsonWriter empty("  ");
  empty.BeginArray();
  empty.EndArray();
  EXPECT_EQ(empty.str(), "[]");

  JsonWriter w("  ");
  w.BeginArray();
  for (const char* id : {"a", "b"}) {
    w.BeginObject();
    w.Field("id", id);
    w.EndObject();
  }
  w.EndArray();
  EXPECT_EQ(w.str(), "[\n  {\n    \"id\": \"a\"\n  },\n  {\n    \"id\": \"b\"\n  }\n]");
}

}  // namespace
}  // namespace util
