#include "internal/util/mountinfo.h"

#include <gtest/gtest.h>

namespace util {
namespace {

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
      "36 30 0:36 / /rt/layer/over\\440flow rw - tmpfs t rw\n"
      "short line\n";
  struct Case {
    const char* base;
    std::vector<std::string> want;
  } cases[] = {
      {"/rt/layer",
       {"/rt/layer/rootfs", "/rt/layer/rootfs/with blank", "/rt/layer/rootfs/tab\tnl\nback\\slash",
        "/rt/layer/not\\8escape\\04",
        "/rt/layer/over\\440flow"}},
      {"/rt/layer/rootfs/with blank", {"/rt/layer/rootfs/with blank"}},
      {"/rt/lay er", {"/rt/lay er"}},
      {"/rt/lay", {}},
      {"/proc", {"/proc"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MountPointsAtOrBelow(info, c.base), c.want) << c.base;
  }
  EXPECT_EQ(MountPointsAtOrBelow(info, "/").size(), 8u);
}

}  // namespace
}  // namespace util
