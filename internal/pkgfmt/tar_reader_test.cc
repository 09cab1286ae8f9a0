#include "internal/pkgfmt/tar_reader.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "internal/pkgfmt/codec_testing.h"
#include "internal/pkgfmt/tar_testing.h"

namespace pkgfmt {
namespace {

using testing::Member;
using testing::Tar;

TEST(TarReader, ReadsEntriesOfEveryDialect) {
  const std::string long_name = std::string(150, 'd') + "/" + std::string(120, 'f');
  const std::vector<Member> members = {
      {"./usr/", AE_IFDIR, "", 0755},
      {"./usr/bin/tool", AE_IFREG, "#!/bin/sh\n", 04755},
      {"./usr/bin/link", AE_IFLNK, "tool", 0777},
      {"./usr/bin/hard", AE_IFREG, "./usr/bin/tool", 0755, true},
      {long_name, AE_IFREG, "deep", 0600},
      {"./fifo", AE_IFIFO, "", 0644},
      {"./caf\xc3\xa9/\xe6\x96\x87", AE_IFREG, "utf-8", 0644},
  };
  for (int format : {ARCHIVE_FORMAT_TAR_PAX_RESTRICTED, ARCHIVE_FORMAT_TAR_GNUTAR}) {
    const std::string tar = Tar(members, format);
    for (const auto& codec : Codecs()) {
      const std::string packed = codec.compress(tar);
      auto r = OpenTarInMemory(packed);
      ASSERT_TRUE(r.ok()) << r.error().message();
      TarMember e;
      std::vector<std::string> seen;
      for (;;) {
        auto more = (*r)->Next(&e);
        ASSERT_TRUE(more.ok()) << more.error().message();
        if (!*more) break;
        auto data = ReadAll(**r, 5);
        ASSERT_TRUE(data.ok());
        seen.push_back(e.name + "|" + std::to_string(static_cast<int>(e.kind)) + "|" + e.linkname + "|" +
                       std::to_string(e.mode) + "|" + *data);
      }
      const std::vector<std::string> want = {
          "./usr/|1||493|",
          "./usr/bin/tool|0||2541|#!/bin/sh\n",
          "./usr/bin/link|2|tool|511|",
          "./usr/bin/hard|3|./usr/bin/tool|493|",
          long_name + "|0||384|deep",
          "./fifo|4||420|",
          "./caf\xc3\xa9/\xe6\x96\x87|0||420|utf-8",
      };
      EXPECT_EQ(seen, want) << codec.name << " format " << format;
    }
  }
}

TEST(TarReader, StreamEndsAndFailures) {
  const std::string tar = Tar({{"a", AE_IFREG, std::string(3000, 'x')}, {"b", AE_IFREG, "y"}});
  struct Case {
    std::string name;
    std::string data;
    bool open_ok;
    std::string want;  // "" means a clean end after the entries
  } cases[] = {
      {"empty stream", "", true, ""},
      {"gzip of nothing", Gzip(""), true, ""},
      {"only end blocks", std::string(1024, '\0'), true, ""},
      {"cut inside data", tar.substr(0, 1500), true, "Truncated tar archive"},
      {"gzip cut inside", Gzip(tar).substr(0, 60), true, "unexpected EOF"},
      {"damaged gzip header", "\x1f\x8b\x09" + Gzip(tar).substr(3), false, "gzip reader: gzip: invalid header"},
      {"damaged xz header", Xz(tar).replace(6, 2, "\x7f\x7f"), false,
       "xz reader: xz: stream header checksum mismatch"},
      {"not a tar", std::string(2048, 'z'), true, "Unrecognized archive format"},
  };
  for (const auto& c : cases) {
    auto r = OpenTarInMemory(c.data);
    ASSERT_EQ(r.ok(), c.open_ok) << c.name << ": " << (r.ok() ? "" : r.error().message());
    if (!r.ok()) {
      EXPECT_EQ(r.error().message(), c.want) << c.name;
      continue;
    }
    util::Error err;
    TarMember e;
    for (;;) {
      auto more = (*r)->Next(&e);
      if (!more.ok()) {
        err = more.error();
        break;
      }
      if (!*more) break;
      auto data = ReadAll(**r, 4096);
      if (!data.ok()) {
        err = data.error();
        break;
      }
    }
    if (c.want.empty()) {
      EXPECT_TRUE(err.ok()) << c.name << ": " << err.message();
    } else {
      EXPECT_NE(err.message().find(c.want), std::string::npos) << c.name << ": " << err.message();
    }
  }
}

}  // namespace
}  // namespace pkgfmt
