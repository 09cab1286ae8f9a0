// Small packages whose JSON would cost gigabytes or minutes if read naively:
// install, info and verify judge each quickly, under an address-space limit.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/harness.h"
#include "internal/testing/json.h"
#include "internal/testing/require.h"

namespace e2e {
namespace {

using ::testing::HasSubstr;

// What one command may cost. The address-space limit is the real guard
// where it can be set; the sanitizer's allocator reserves terabytes of
// address space up front, so there only the resident set bounds memory, and
// its shadow memory and slower code get a generous share. Processor time,
// unlike the clock, does not grow with what else the machine runs.
#ifdef __SANITIZE_ADDRESS__
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
constexpr long kMaxRssKib = kSanitized ? 1024 * 1024 : 256 * 1024;
constexpr double kMaxCpuSeconds = kSanitized ? 60.0 : 5.0;

constexpr char kAppHead[] =
    R"({"id": "com.example.hostile", "name": "H", "version": "1.0", "arch": "x86_64", "base": "testbase",)"
    R"( "kind": "cli", "entry": {"command": "/app/bin/hello", "args": []})";

// "[[],[],...]" of about `bytes` bytes: a tree of millions of values.
std::string EmptyArrays(size_t bytes) {
  std::string s = "[";
  s.reserve(bytes + 4);
  while (s.size() + 3 < bytes) s += "[],";
  s += "[]]";
  return s;
}

class HostileJsonTest : public ::testing::Test {
 protected:
  // A package of manifest.json, files/bin/hello and, when given,
  // signature.json, packed by the system tar.
  std::string Package(const std::string& name, const std::string& manifest, const std::string& signature = "") {
    std::string dir = sb_.Path("p-" + name);
    EXPECT_EQ(::mkdir(dir.c_str(), 0755), 0);
    EXPECT_EQ(::mkdir((dir + "/files").c_str(), 0755), 0);
    EXPECT_EQ(::mkdir((dir + "/files/bin").c_str(), 0755), 0);
    Spit(dir + "/files/bin/hello", "#!/bin/sh\n", 0755);
    Spit(dir + "/manifest.json", manifest);
    std::string members = "manifest.json files";
    if (!signature.empty()) {
      Spit(dir + "/signature.json", signature);
      members += " signature.json";
    }
    std::string pkg = sb_.Path(name + ".zol");
    RunResult r = Sh("cd '" + dir + "' && tar -czf '" + pkg + "' " + members + " && rm -rf '" + dir + "'");
    EXPECT_EQ(r.status, 0) << r.err;
    return pkg;
  }

  // zol-cli under a 256 MiB address-space limit where one can be set, and
  // on a 256 KiB stack, which a walk recursing once per level of the
  // deepest nesting the reader takes would overrun.
  RunResult Limited(const std::vector<std::string>& args) {
    std::string cmd = std::string(kSanitized ? "" : "ulimit -v 262144 && ") + "ulimit -s 256 && exec '" + ZolBin() + "'";
    for (const std::string& a : args) cmd += " '" + a + "'";
    return RunArgv({"/bin/sh", "-c", cmd}, sb_.Env());
  }

  Sandbox sb_;
};

TEST_F(HostileJsonTest, EachPackageIsJudgedQuicklyInLittleMemory) {
  // 10,000 repeats of "env" after a 10,000-key map, each once copying
  // everything merged before it.
  std::string env_map = R"(, "runtime": {"env": {)";
  for (int i = 0; i < 10000; ++i) env_map += (i ? ", \"K" : "\"K") + std::to_string(i) + "\": \"v\"";
  env_map += "}";
  for (int i = 0; i < 10000; ++i) env_map += R"(, "env": {"K0": "w"})";
  env_map += "}}";
  const std::string big_tree = EmptyArrays(32u << 20);
  struct Case {
    std::string name;
    std::string manifest;
    std::string signature;
    std::vector<std::string> command;  // the package path is appended
    int status;
    std::string err;  // a part of standard error
  } cases[] = {
      {"10,000 levels under a key no field reads",
       std::string(kAppHead) + R"(, "x": )" + testutil::NestedJson(9999, "\"leaf\"") + "}", "", {"install"}, 0,
       ""},
      {"10,001 levels under a key no field reads",
       std::string(kAppHead) + R"(, "x": )" + testutil::NestedJson(10000, "\"leaf\"") + "}", "", {"install"}, 1,
       "json: exceeded max depth of 10000"},
      {"repeated env maps", kAppHead + env_map, "", {"install"}, 0, ""},
      {"tree just under the manifest bound", std::string(kAppHead) + R"(, "x": )" + EmptyArrays(1000000) + "}", "",
       {"install"}, 0, ""},
      {"32 MiB tree in a valid manifest", std::string(kAppHead) + R"(, "x": )" + big_tree + "}", "", {"install"}, 1,
       "/manifest.json: file larger than 1048576 bytes"},
      {"32 MiB tree, not JSON", big_tree.substr(0, big_tree.size() - 1), "", {"install"}, 1,
       "/manifest.json: file larger than 1048576 bytes"},
      {"32 MiB signature.json", std::string(kAppHead) + "}", R"({"x": )" + big_tree + "}", {"verify"}, 1,
       "/signature.json: file larger than 65536 bytes"},
      {"signature.json just under its bound", std::string(kAppHead) + "}",
       R"({"x": )" + EmptyArrays(60000) + R"(, "algorithm": "none"})", {"verify"}, 1,
       "verify failed: unsupported signature algorithm: none"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = c.command;
    args.push_back(Package("case" + std::to_string(n++), c.manifest, c.signature));
    RunResult r = Limited(args);
    EXPECT_EQ(r.status, c.status) << r.err.substr(0, 500);
    EXPECT_LT(r.cpu_seconds, kMaxCpuSeconds);
    EXPECT_LT(r.max_rss_kib, kMaxRssKib);
    if (!c.err.empty()) {
      EXPECT_THAT(r.err, HasSubstr(c.err));
    }
    EXPECT_EQ(Sh("ls -A '" + sb_.tmp + "'").out, "");
  }
  // The installed manifest with its repeated maps is read again by every
  // later command.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"info", "com.example.hostile"}, std::vector<std::string>{"uninstall", "com.example.hostile"}}) {
    RunResult r = Limited(args);
    EXPECT_EQ(r.status, 0) << r.err.substr(0, 500);
    EXPECT_LT(r.cpu_seconds, kMaxCpuSeconds) << args[0];
    EXPECT_LT(r.max_rss_kib, kMaxRssKib) << args[0];
  }
}

// A base layer's runtime.json is read whole as a tree by info: a tree as
// deep as the reader takes is described, one level deeper is malformed.
TEST_F(HostileJsonTest, InfoReadsARuntimeJsonAsDeepAsTheReaderTakes) {
  const std::string layer = sb_.runtime_dir + "/deep-x86_64";
  ASSERT_EQ(Sh("mkdir -p " + Q(layer + "/rootfs")).status, 0);
  for (int depth : {10000, 10001}) {
    SCOPED_TRACE(depth);
    // The document's object is the first level.
    Spit(layer + "/runtime.json", R"({"version": "12", "x": )" + std::string(depth - 1, '[') +
                                      std::string(depth - 1, ']') + "}");
    RunResult r = Limited({"info", "base.deep-x86_64"});
    EXPECT_EQ(r.status, 0) << r.err.substr(0, 500);
    EXPECT_EQ(r.out, "Base Layer Information:\n  ID:      com.calderim.base.deep-x86_64\n  Path:    " + layer +
                         (depth == 10000 ? "\n  Status:  installed\n  Version: 12\n"
                                         : "\n  Status:  installed (malformed runtime.json)\n"));
    EXPECT_LT(r.max_rss_kib, kMaxRssKib);
  }
}

// verify is open to any user: run as one, on a package holding directories
// that user cannot read, it still takes its temporary tree away.
TEST(VerifyAsUser, PackageWithUnreadableDirectoriesLeavesNothing) {
  ZOL_REQUIRE(::geteuid() == 0, "needs root to run as another user");
  ZOL_REQUIRE_TOOL("runuser");
  Sandbox sb;
  RunResult made = Sh("set -e; d=$(mktemp -d /tmp/zol-verify-user-XXXXXX); chmod 0755 \"$d\"; cd \"$d\"; "
                      "mkdir -p tmp p/files/locked/inner p/files/readonly; chmod 1777 tmp; "
                      "printf '{\"id\":\"a\",\"version\":\"1\",\"arch\":\"x86_64\",\"base\":\"b\",\"entry\":"
                      "{\"command\":\"/app/x\"}}' > p/manifest.json; echo x > p/files/locked/inner/f; "
                      "echo y > p/files/readonly/g; chmod 0000 p/files/locked/inner p/files/locked; "
                      "chmod 0500 p/files/readonly; tar -czf pkg.zol -C p manifest.json files; chmod 0644 pkg.zol; "
                      "echo \"$d\"");
  ASSERT_EQ(made.status, 0) << made.err;
  const std::string dir = made.out.substr(0, made.out.find('\n'));
  std::vector<std::string> env = sb.Env({{"TMPDIR", dir + "/tmp"}});
  std::vector<std::string> argv = {"runuser", "-u", "nobody", "--", "env"};
  argv.insert(argv.end(), env.begin(), env.end());
  argv.insert(argv.end(), {ZolBin(), "verify", dir + "/pkg.zol"});
  RunResult r = RunArgv(argv, env);
  // The user cannot unpack into a directory the package made unreadable;
  // whether verify gets that far is not the point, its leftovers are.
  if (r.status != 0) {
    EXPECT_THAT(r.err, HasSubstr("[FATAL] verify failed: extract package: "));
  }
  EXPECT_EQ(Sh("ls -A '" + dir + "/tmp'").out, "");
  Sh("chmod -R u+rwx '" + dir + "'; rm -rf '" + dir + "'");
}

}  // namespace
}  // namespace e2e
