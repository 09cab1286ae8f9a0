#include "internal/builder/cpio.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "internal/builder/deb_testing.h"
#include "internal/builder/tree_testing.h"
#include "internal/util/beneath.h"
#include "internal/util/files.h"
#include "internal/util/strings.h"
#include "internal/util/tempdir.h"

namespace builder {
namespace {

using namespace std::string_literals;
using pkgfmt::NewPlainReader;

using testing::ExtractedListing;
using testing::Slurp;

struct Member {
  std::string name;
  uint32_t mode;
  std::string data;
  uint32_t ino = 0;
  uint32_t nlink = 1;
};

Member Reg(std::string name, std::string data, uint32_t perm = 0644) {
  return {std::move(name), S_IFREG | perm, std::move(data)};
}
Member Sym(std::string name, std::string target) { return {std::move(name), S_IFLNK | 0777, std::move(target)}; }
Member Dir(std::string name) { return {std::move(name), S_IFDIR | 0700, ""}; }

std::string Hex8(uint32_t v) { return util::Sprintf("%08X", v); }

std::string Header(const Member& m, uint32_t name_size) {
  return "070701" + Hex8(m.ino) + Hex8(m.mode) + Hex8(0) + Hex8(0) + Hex8(m.nlink) + Hex8(0) +
         Hex8(static_cast<uint32_t>(m.data.size())) + Hex8(8) + Hex8(1) + Hex8(0) + Hex8(0) + Hex8(name_size) +
         Hex8(0);
}

std::string Pad(size_t n) { return std::string((4 - n % 4) % 4, '\0'); }

std::string Entry(const Member& m) {
  const std::string name = m.name + '\0';
  return Header(m, static_cast<uint32_t>(name.size())) + name + Pad(110 + name.size()) + m.data + Pad(m.data.size());
}

std::string Newc(const std::vector<Member>& members, bool trailer = true) {
  std::string out;
  for (const auto& m : members) out += Entry(m);
  if (trailer) out += Entry({"TRAILER!!!", 0, ""});
  return out;
}

class CpioWalkTest : public testing::TempDirTest {
 protected:
  CpioWalkTest() : TempDirTest("zol-cpio-test-") {}
  void SetUp() override {
    TempDirTest::SetUp();
    testing::LayCanary(tmp_->path());
  }
  util::Error Extract(const std::string& payload, const std::string& dest) {
    auto in = NewPlainReader(payload);
    return extractCpio(*in, dest);
  }
  void ExpectOutsideUntouched(const std::string& label) { testing::ExpectCanaryUntouched(tmp_->path(), label); }
};

TEST(HexDecode, StrictDigits) {
  struct Case {
    std::string field;
    bool ok;
    uint32_t value;
    std::string err;
  } cases[] = {
      {"0000001a", true, 26, ""},
      {"FFFFFFFF", true, 0xffffffff, ""},
      {"00aBcD09", true, 0xabcd09, ""},
      {"", true, 0, ""},
      {"0000 01a", false, 0, "parse hex \"0000 01a\": invalid hex char:  "},
      {"0x00001a", false, 0, "parse hex \"0x00001a\": invalid hex char: x"},
      {"-0000001", false, 0, "parse hex \"-0000001\": invalid hex char: -"},
      {"0000001\n", false, 0, "parse hex \"0000001\\n\": invalid hex char: \n"},
  };
  for (const auto& c : cases) {
    auto got = hexDecode(c.field);
    ASSERT_EQ(got.ok(), c.ok) << c.field;
    if (c.ok) {
      EXPECT_EQ(*got, c.value) << c.field;
    } else {
      EXPECT_EQ(got.error().message(), c.err);
    }
  }
}

TEST_F(CpioWalkTest, WritesMembersWithModesLinksAndEmptyFiles) {
  const std::string dest = Path("dest");
  std::vector<Member> members = {
      Dir("./usr"),
      Reg("./usr/bin/tool", "#!/bin/sh\n", 0755),
      Sym("./usr/bin/alias", "tool"),
      Sym("./usr/lib/libx.so", "/usr/lib/libx.so.1"),
      Reg("./usr/lib/libx.so.1", "ELF", 04755),
      Reg("./etc/empty.conf", ""),
      Dir("./var/empty"),
      {"./dev/null", S_IFCHR | 0666, ""},
      {"./run/fifo", S_IFIFO | 0644, ""},
      Reg("/abs/name", "abs"),
      Reg("abcd", "sixsix"),  // a 5-byte name with 1 padding byte, data of 6 with 2
  };
  // A hard-link set as rpm writes it: data only with the last name.
  members.push_back({"./usr/bin/a", S_IFREG | 0750, "", 7, 3});
  members.push_back({"./usr/bin/b", S_IFREG | 0750, "", 7, 3});
  members.push_back({"./usr/bin/c", S_IFREG | 0750, "shared", 7, 3});
  // And one with the data first.
  members.push_back({"./usr/bin/d", S_IFREG | 0755, "first", 9, 2});
  members.push_back({"./usr/bin/e", S_IFREG | 0755, "", 9, 2});
  // Devices and FIFOs leave nothing behind, not even their parents.
  EXPECT_EQ(ExtractedListing(Extract(Newc(members), dest), dest), (std::vector<std::string>{
                               "f 0644 /abcd = sixsix",
                               "d 0755 /abs",
                               "f 0644 /abs/name = abs",
                               "d 0755 /etc",
                               "f 0644 /etc/empty.conf = ",
                               "d 0755 /usr",
                               "d 0755 /usr/bin",
                               "f 0750 /usr/bin/a = shared",
                               "l /usr/bin/alias -> tool",
                               "f 0750 /usr/bin/b = shared (same as /usr/bin/a)",
                               "f 0750 /usr/bin/c = shared (same as /usr/bin/a)",
                               "f 0755 /usr/bin/d = first",
                               "f 0755 /usr/bin/e = first (same as /usr/bin/d)",
                               "f 0755 /usr/bin/tool = #!/bin/sh\n",
                               "d 0755 /usr/lib",
                               "l /usr/lib/libx.so -> /usr/lib/libx.so.1",
                               "f 0755 /usr/lib/libx.so.1 = ELF",
                               "d 0755 /var",
                               "d 0755 /var/empty",
                           }));
}

TEST_F(CpioWalkTest, WalkEndsAtTrailerOrCleanEnd) {
  struct Case {
    std::string name;
    std::string payload;
    std::vector<std::string> want;
  } cases[] = {
      {"no trailer", Newc({Reg("a", "1")}, false), {"f 0644 /a = 1"}},
      {"nothing after trailer is read", Newc({Reg("a", "1")}) + "garbage that is no header", {"f 0644 /a = 1"}},
      {"empty stream", "", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dest = Path("dest-" + std::to_string(&c - cases));
    EXPECT_EQ(ExtractedListing(Extract(c.payload, dest), dest), c.want);
  }
}

TEST_F(CpioWalkTest, HostileAndBrokenArchives) {
  const std::string out = Path("outside");
  const std::string one = Newc({Reg("a", "1")}, false);
  auto patch = [](std::string s, size_t off, const std::string& with) { return s.replace(off, with.size(), with); };
  Member big = Reg("big", "");
  std::string huge = Header(big, 4) + "big" + '\0';
  huge = patch(huge, 54, "FFFFFFFF") + Pad(114) + "only a little data";
  struct Case {
    std::string name;
    std::string payload;
    std::string want;
  } cases[] = {
      {"checksummed variant", patch(one, 0, "070702"), "unknown cpio magic: 303730373032"},
      {"old binary layout", "\x71\xc7" + one.substr(2), "old-style cpio (SVR4) not supported yet"},
      {"blank in name size", patch(one, 94, "0000000 "), "parse hex \"0000000 \": invalid hex char:  "},
      {"bad hex in mode", patch(one, 14, "000081g4"), "parse hex \"000081g4\": invalid hex char: g"},
      {"name size 0xFFFFFFFF", patch(one, 94, "FFFFFFFF"), "cpio name size 4294967295 exceeds limit of 8192 bytes"},
      {"huge file on a short stream", huge, "read cpio file big: unexpected EOF"},
      {"cut inside a header", one.substr(0, 50), "read cpio header: unexpected EOF"},
      {"cut inside a name", one.substr(0, 111), "read cpio name: unexpected EOF"},
      // "ab" and its NUL end at 113, padded to 116; the data "12" ends at 118.
      {"cut inside the name padding", Newc({Reg("ab", "12")}, false).substr(0, 114),
       "read cpio name padding: unexpected EOF"},
      {"cut inside the data", Newc({Reg("ab", "12")}, false).substr(0, 117), "read cpio file ab: unexpected EOF"},
      {"cut inside the data padding", Newc({Reg("ab", "12")}, false).substr(0, 119),
       "read cpio file padding: unexpected EOF"},
      {"dot-dot", Newc({Reg("../x", "x")}), "path traversal detected: ../x"},
      {"dot-dot inside", Newc({Reg("./usr/../../canary", "x")}), "path traversal detected: ./usr/../../canary"},
      {"file through link", Newc({Sym("l", out), Reg("l/x", "x")}), "path traversal detected: l/x"},
      {"file through relative chain", Newc({Sym("a", "."), Sym("b", "a/.."), Reg("b/canary", "pwned")}),
       "path traversal detected: b/canary"},
      {"symlink then file", Newc({Sym("l", Path("canary")), Reg("l", "pwned")}), "path traversal detected: l"},
      {"directory through link", Newc({Sym("l", out), Dir("l/sub")}), "path traversal detected: l/sub"},
      {"hard link set placed through link", Newc({Sym("l", out), {"l/a", S_IFREG | 0644, "", 3, 2}}),
       "path traversal detected: l/a"},
      {"long link text", Newc({Sym("l", std::string(5000, 'x'))}), "symlink target of l too long"},
      {"NUL in link text", Newc({Sym("l", "a\0b"s)}), "invalid symlink target for l: \"a\\x00b\""},
      // A system call would see the name end at the NUL: "..".
      {"NUL inside the name", Newc({Reg("..\0/canary"s, "pwned")}),
       "invalid cpio name \"..\\x00/canary\": NUL byte inside"},
      {"NUL inside a directory name", Newc({Dir("d/..\0/..\0/outside/sub"s)}),
       "invalid cpio name \"d/..\\x00/..\\x00/outside/sub\": NUL byte inside"},
  };
  // Containment must hold with the kernel's beneath lookup and with the
  // walk used where the kernel has none.
  for (bool fallback : {false, true}) {
    util::SetBeneathFallbackForTesting(fallback);
    for (const auto& c : cases) {
      const std::string label = c.name + (fallback ? " (walk)" : "");
      const std::string dest = Path("dest");
      ASSERT_TRUE(util::RemoveAll(dest).ok());
      util::Error e = Extract(c.payload, dest);
      EXPECT_EQ(e.message(), c.want) << label;
      ExpectOutsideUntouched(label);
    }
  }
  util::SetBeneathFallbackForTesting(false);
}

}  // namespace
}  // namespace builder
