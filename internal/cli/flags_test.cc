#include "internal/cli/flags.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace cli {
namespace {

struct Parsed {
  std::string error;
  std::string output;
  bool sandbox_off = false;
  std::string key, dir;
  std::vector<std::string> rest;
};

// A flag set shaped like the front ends': one boolean, two text flags (one
// with a default), output captured.
Parsed ParseWith(const std::vector<std::string>& args, bool custom_usage = false) {
  Parsed p;
  testing::internal::CaptureStderr();
  {
    FlagSet fs("demo");
    fs.BoolVar(&p.sandbox_off, "no-sandbox", false, "Run without sandbox");
    fs.StringVar(&p.key, "key", "", "Path to private key");
    fs.StringVar(&p.dir, "dir", "/root/.zol/keys", "Output directory\nfor keys");
    if (custom_usage) fs.SetUsage([] { std::fputs("custom usage\n", stderr); });
    p.error = fs.Parse(args).message();
    p.rest = fs.Args();
  }
  p.output = testing::internal::GetCapturedStderr();
  return p;
}

const char* const kDefaultUsage =
    "Usage of demo:\n"
    "  -dir string\n"
    "    \tOutput directory\n"
    "    \tfor keys (default \"/root/.zol/keys\")\n"
    "  -key string\n"
    "    \tPath to private key\n"
    "  -no-sandbox\n"
    "    \tRun without sandbox\n";

TEST(FlagSet, Syntax) {
  using V = std::vector<std::string>;
  struct Case {
    V args;
    bool sandbox_off;
    std::string key, dir;
    V rest;
  };
  const Case cases[] = {
      {{}, false, "", "/root/.zol/keys", {}},
      {{"-key", "k", "pkg.zol"}, false, "k", "/root/.zol/keys", {"pkg.zol"}},
      {{"--key=k", "--dir=/tmp/k"}, false, "k", "/tmp/k", {}},
      {{"--key="}, false, "", "/root/.zol/keys", {}},
      {{"--key=a=b"}, false, "a=b", "/root/.zol/keys", {}},
      // A text flag takes the next argument whatever it looks like.
      {{"--key", "-x", "--", "p"}, false, "-x", "/root/.zol/keys", {"p"}},
      {{"--key", "--dir"}, false, "--dir", "/root/.zol/keys", {}},
      // The last occurrence wins.
      {{"-key", "a", "--key", "b", "-key=c"}, false, "c", "/root/.zol/keys", {}},
      // Flags end at the first positional argument, at "-" and after "--".
      {{"pkg.zol", "--key", "k"}, false, "", "/root/.zol/keys", {"pkg.zol", "--key", "k"}},
      {{"-", "--key", "k"}, false, "", "/root/.zol/keys", {"-", "--key", "k"}},
      {{"--", "--key", "k"}, false, "", "/root/.zol/keys", {"--key", "k"}},
      {{"", "--key", "k"}, false, "", "/root/.zol/keys", {"", "--key", "k"}},
      // A boolean never takes the next argument.
      {{"--no-sandbox", "app", "-x"}, true, "", "/root/.zol/keys", {"app", "-x"}},
      {{"-no-sandbox", "false"}, true, "", "/root/.zol/keys", {"false"}},
      {{"--no-sandbox=true", "--no-sandbox=F"}, false, "", "/root/.zol/keys", {}},
      {{"--no-sandbox=1"}, true, "", "/root/.zol/keys", {}},
      {{"--no-sandbox=True"}, true, "", "/root/.zol/keys", {}},
      {{"--no-sandbox=FALSE"}, false, "", "/root/.zol/keys", {}},
  };
  for (const auto& c : cases) {
    Parsed p = ParseWith(c.args);
    std::string label = ::testing::PrintToString(c.args);
    EXPECT_EQ(p.error, "") << label;
    EXPECT_EQ(p.output, "") << label;
    EXPECT_EQ(p.sandbox_off, c.sandbox_off) << label;
    EXPECT_EQ(p.key, c.key) << label;
    EXPECT_EQ(p.dir, c.dir) << label;
    EXPECT_EQ(p.rest, c.rest) << label;
  }
}

TEST(FlagSet, FailuresPrintMessageThenUsage) {
  struct Case {
    std::vector<std::string> args;
    std::string error;
  };
  const Case cases[] = {
      {{"-x"}, "flag provided but not defined: -x"},
      {{"--x=1", "k"}, "flag provided but not defined: -x"},
      {{"---key", "k"}, "bad flag syntax: ---key"},
      {{"-=k"}, "bad flag syntax: -=k"},
      {{"--=k"}, "bad flag syntax: --=k"},
      {{"--key"}, "flag needs an argument: -key"},
      {{"--no-sandbox=maybe", "app"}, "invalid boolean value \"maybe\" for -no-sandbox: parse error"},
      {{"--no-sandbox="}, "invalid boolean value \"\" for -no-sandbox: parse error"},
      {{"--no-sandbox=yes"}, "invalid boolean value \"yes\" for -no-sandbox: parse error"},
  };
  for (const auto& c : cases) {
    Parsed p = ParseWith(c.args);
    EXPECT_EQ(p.error, c.error);
    EXPECT_EQ(p.output, c.error + "\n" + kDefaultUsage);
    Parsed custom = ParseWith(c.args, true);
    EXPECT_EQ(custom.error, c.error);
    EXPECT_EQ(custom.output, c.error + "\ncustom usage\n");
  }
}

TEST(FlagSet, HelpRequestPrintsOnlyTheUsage) {
  for (const char* arg : {"-h", "--h", "-help", "--help", "-help=1"}) {
    Parsed p = ParseWith({arg, "ignored"});
    EXPECT_EQ(p.error, "flag: help requested") << arg;
    EXPECT_EQ(p.output, kDefaultUsage) << arg;
    Parsed custom = ParseWith({arg}, true);
    EXPECT_EQ(custom.output, "custom usage\n") << arg;
  }
}

TEST(FlagSet, DeclaredHelpFlagIsAnOrdinaryFlag) {
  FlagSet fs("x");
  std::string help;
  fs.StringVar(&help, "h", "", "");
  ASSERT_TRUE(fs.Parse({"-h", "v"}).ok());
  EXPECT_EQ(help, "v");
}

}  // namespace
}  // namespace cli
