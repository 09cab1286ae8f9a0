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

// What uninstall may remove is decided from these: a mount point read wrong
// is a mount a removal would walk into.
TEST(MountPoints, DecodesEscapesAndMatchesWholeComponents) {
  const std::string info =
      "22 1 0:21 / /proc rw - proc proc rw\n"
      "30 22 0:30 / /rt/layer/rootfs rw - ext4 /dev/a rw\n"
      "31 30 0:31 /sub /rt/layer/rootfs/with\\040blank rw - tmpfs t rw\n"
      "32 30 0:32 / /rt/layer/rootfs/tab\\011nl\\012back\\134slash rw - tmpfs t rw\n"
      "33 1 0:33 / /rt/layer2 rw - tmpfs t rw\n"
      "34 1 0:34 / /rt/lay\\040er rw - tmpfs t rw\n"
      "35 30 0:35 / /rt/layer/not\\8escape\\04 rw - tmpfs t rw\n"
      "short line\n";
  struct Case {
    const char* base;
    std::vector<std::string> want;
  } cases[] = {
      {"/rt/layer",
       {"/rt/layer/rootfs", "/rt/layer/rootfs/with blank", "/rt/layer/rootfs/tab\tnl\nback\\slash",
        "/rt/layer/not\\8escape\\04"}},
      {"/rt/layer/rootfs/with blank", {"/rt/layer/rootfs/with blank"}},
      {"/rt/lay er", {"/rt/lay er"}},
      {"/rt/lay", {}},
      {"/proc", {"/proc"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(mountPointsBeneath(info, c.base), c.want) << c.base;
  }
  EXPECT_EQ(mountPointsBeneath(info, "/").size(), 7u);
}

}  // namespace
}  // namespace cli
