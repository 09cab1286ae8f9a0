#include "internal/util/strings.h"

#include <gtest/gtest.h>

namespace util {
namespace {

TEST(Quote, ShowsEveryByteUnambiguously) {
  struct Case {
    std::string in, want;
  };
  const Case cases[] = {
      {"", R"("")"},
      {"maybe", R"("maybe")"},
      {"a\"b\\c", R"("a\"b\\c")"},
      {"\a\b\f\n\r\t\v", R"("\a\b\f\n\r\t\v")"},
      {std::string("\x00\x1b\x7f", 3), R"("\x00\x1b\x7f")"},
      {"caf\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80\""},
      {"bad\xff", R"("bad\xff")"},
      {"\xe2\x82", R"("\xe2\x82")"},
      {"\xc2\x85", R"("\u0085")"},          // C1 control
      {"\xc2\xa0", R"("\u00a0")"},          // no-break space
      {"\xe2\x80\x8b", R"("\u200b")"},      // zero-width space
      {"\xe2\x80\xae", R"("\u202e")"},      // right-to-left override
      {"\xef\xbb\xbf", R"("\ufeff")"},
      {"\xcd\xb8", R"("\u0378")"},          // unassigned
      {"\xf3\xb0\x80\x80", R"("\U000f0000")"},  // private use, supplementary plane
      {"a\xcc\x81", "\"a\xcc\x81\""},      // combining mark stays
  };
  for (const auto& c : cases) EXPECT_EQ(Quote(c.in), c.want) << c.in;
}

TEST(Sprintf, FormatsLongText) {
  std::string long_arg(5000, 'x');
  EXPECT_EQ(Sprintf("<%s|%d>", long_arg.c_str(), -3), "<" + long_arg + "|-3>");
  EXPECT_EQ(Sprintf("%s", ""), "");
}

}  // namespace
}  // namespace util
