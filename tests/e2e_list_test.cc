// "list" and "info" against hand-laid registries and runtime directories,
// compared as whole texts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/harness.h"
#include "tests/packages.h"

namespace e2e {
namespace {

using ::testing::EndsWith;

void Record(const Sandbox& sb, const std::string& records) {
  Sh("mkdir -p '" + sb.root + "/db'");
  Spit(sb.db_file, "[" + records + "]");
}

std::string AppRecord(const std::string& id, const std::string& name, const std::string& kind,
                      const std::string& path) {
  return "{\"id\":\"" + id + "\",\"name\":\"" + name + "\",\"version\":\"1.0\",\"arch\":\"x86_64\",\"base\":\"tb\"," +
         "\"kind\":\"" + kind + "\",\"install_path\":\"" + path + "\",\"status\":\"installed\"," +
         "\"installed_at\":\"2025-03-04T10:20:30.123456789+01:00\"}";
}

TEST(ListTest, EmptyAndTable) {
  Sandbox sb;
  RunResult r = sb.Zol({"list"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "No applications or base layers installed\n");

  // A layer counts once its rootfs is there: not one a killed install left
  // with only its unfinished rootfs, nor one an uninstall set aside.
  Sh("mkdir -p '" + sb.runtime_dir + "/ubuntu24.04-aarch64/rootfs' '" + sb.runtime_dir + "/bare/rootfs' '" +
     sb.runtime_dir + "/half/rootfs.installing' '" + sb.runtime_dir + "/.gone.removing-abcdef/rootfs'; echo '{}' > '" +
     sb.runtime_dir + "/ubuntu24.04-aarch64/runtime.json'; touch '" + sb.runtime_dir + "/not-a-layer'");
  Record(sb, AppRecord("com.example.caf\u00e9", "Caf\u00e9 \u00fcber", "cli", "/x") + "," +
                 AppRecord("com.example.b", "B", "", "/y"));
  r = sb.Zol({"list"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "ID                                     KIND  NAME       VERSION    ARCH    STATUS\n"
            "com.calderim.base.bare                 base  -                             installed\n"
            "com.calderim.base.ubuntu24.04-aarch64  base  -          installed          installed\n"
            "com.example.caf\u00e9                       cli   Caf\u00e9 \u00fcber  1.0        x86_64  installed\n"
            "com.example.b                          app   B          1.0        x86_64  installed\n");

  Spit(sb.db_file, "{");
  r = sb.Zol({"list"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, testing::HasSubstr("[FATAL] list failed: load db: "));
  EXPECT_EQ(r.out, "");
}

TEST(InfoTest, ApplicationDetails) {
  Sandbox sb;
  AppFields spec;
  spec.description = "Says hello";
  const std::string dir = sb.Path("apps/com.example.hello/1.0");
  Sh("mkdir -p '" + dir + "'");
  Spit(dir + "/manifest.json", AppManifestJSON(spec));
  Record(sb, AppRecord("com.example.hello", "Hello", "cli", dir));
  RunResult r = sb.Zol({"info", "com.example.hello"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "Application Information:\n"
            "  ID:          com.example.hello\n"
            "  Name:        Hello\n"
            "  Version:     1.0\n"
            "  Architecture: x86_64\n"
            "  Base:        testbase\n"
            "  Kind:        cli\n"
            "  Description: Says hello\n"
            "  Entry Point: /app/bin/hello\n"
            "  Install Path: " + dir + "\n"
            "  Installed:   2025-03-04T10:20:30+01:00\n"
            "\nPermissions:\n"
            "  Network: true\n"
            "  IPC:     true\n"
            "  Shm:     true\n"
            "  Readonly mounts:\n"
            "    - /etc/resolv.conf\n"
            "  Writable mounts:\n"
            "    - /tmp\n"
            "    - /var/tmp\n"
            "\nRuntime Environment:\n"
            "  PATH=/app/bin:/usr/bin:/bin\n");

  r = sb.Zol({"info", "com.example.other"});
  EXPECT_THAT(r.err, EndsWith("[FATAL] info failed: app com.example.other not installed\n"));
  EXPECT_THAT(sb.Zol({"info"}).err, EndsWith("[FATAL] usage: zol-cli info <appid>\n"));
}

TEST(InfoTest, BaseLayers) {
  Sandbox sb;
  const std::string good = sb.runtime_dir + "/ubuntu24.04-aarch64";
  const std::string bad = sb.runtime_dir + "/broken-x86_64";
  const std::string bare = sb.runtime_dir + "/zbare-x86_64";
  const std::string huge = sb.runtime_dir + "/huge-x86_64";
  Sh("mkdir -p '" + huge + "/rootfs'; { printf '{\"pad\": \"'; head -c 70000 /dev/zero | tr '\\0' a; printf '\"}'; } > '" +
     huge + "/runtime.json'");
  Sh("mkdir -p '" + good + "/rootfs' '" + bad + "/rootfs' '" + bare + "/rootfs'; head -c 2097152 /dev/zero > '" +
     good + "/rootfs/blob'; printf 'not json' > '" + bad + "/runtime.json'");
  Spit(good + "/runtime.json",
            "{\n  \"id\": \"ubuntu24.04-aarch64\",\n  \"distro\": \"ubuntu\",\n  \"version\": \"24.04\",\n"
            "  \"arch\": \"aarch64\",\n  \"rootfs\": \"rootfs\"\n}\n");
  struct Case {
    std::string id;
    std::string out;
    std::string err;
  } cases[] = {
      {"base.ubuntu",
       "Base Layer Information:\n  ID:      com.calderim.base.ubuntu24.04-aarch64\n  Path:    " + good +
           "\n  Status:  installed\n  Version: 24.04\n  Arch:    aarch64\n  Distro:  ubuntu\n  Rootfs size: 2 MB\n",
       ""},
      {"com.calderim.base.broken-x86_64",
       "Base Layer Information:\n  ID:      com.calderim.base.broken-x86_64\n  Path:    " + bad +
           "\n  Status:  installed (malformed runtime.json)\n",
       ""},
      {"base.zbare-x86_64",
       "Base Layer Information:\n  ID:      com.calderim.base.zbare-x86_64\n  Path:    " + bare +
           "\n  Status:  installed (no runtime.json found)\n",
       ""},
      {"base.huge-x86_64",
       "Base Layer Information:\n  ID:      com.calderim.base.huge-x86_64\n  Path:    " + huge +
           "\n  Status:  installed (runtime.json too large: " + huge + "/runtime.json)\n",
       ""},
      {"base.../etc", "", "[FATAL] info failed: base layer \"base.../etc\" not installed (searched " + sb.runtime_dir + ")\n"},
      {"base.nothing", "", "[FATAL] info failed: base layer \"base.nothing\" not installed (searched " + sb.runtime_dir + ")\n"},
  };
  for (const Case& c : cases) {
    RunResult r = sb.Zol({"info", c.id});
    EXPECT_EQ(r.out, c.out) << c.id;
    EXPECT_EQ(r.status, c.err.empty() ? 0 : 1) << c.id;
    if (!c.err.empty()) {
      EXPECT_THAT(r.err, EndsWith(c.err)) << c.id;
    }
  }
}

}  // namespace
}  // namespace e2e
