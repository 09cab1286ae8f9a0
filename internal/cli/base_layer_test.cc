#include <gtest/gtest.h>

#include <algorithm>

#include "internal/cli/base_layer.h"
#include "internal/util/json_reader.h"

namespace cli {
namespace {

TEST(RuntimeJSON, ValuesOfAnyTextStayJSONStrings) {
  struct Case {
    std::string version;
  } cases[] = {{"24.04"}, {"a\"b\\c"}, {"line\nbreak\ttab"}, {std::string("nul\0ctl\x01", 8)}, {"caf\xc3\xa9 <&>"}};
  for (const Case& c : cases) {
    std::string text = runtimeJSON("ubuntu24.04-aarch64", c.version, "aarch64");
    auto doc = util::json::Parse(text);
    ASSERT_TRUE(doc.ok()) << text << "\n" << doc.error().message();
    const util::json::Value* v = doc->Get("version");
    ASSERT_NE(v, nullptr) << text;
    EXPECT_EQ(v->text, c.version) << text;
    EXPECT_EQ(doc->Get("id")->text, "ubuntu24.04-aarch64");
    // Seven lines whatever the value holds.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 7) << text;
  }
}

}  // namespace
}  // namespace cli
