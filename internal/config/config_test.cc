#include "internal/config/config.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "internal/testing/env.h"

namespace config {
namespace {

using testutil::ScopedEnv;

TEST(EnvIntOrDefault, ReadsLeadingDecimalOrFallsBack) {
  struct Case {
    const char* value;  // nullptr: unset
    int64_t want;
  };
  const Case cases[] = {
      {nullptr, 2048},
      {"", 2048},
      {"100", 100},
      {" 100", 100},
      {"\t 100", 100},
      {"+100", 100},
      {"100MB", 100},
      {"512M", 512},
      {"0x10", 0},
      {"0", 0},
      {"-0", 0},
      {"-5", 2048},
      {"abc", 2048},
      {"+", 2048},
      {"- 5", 2048},
      {"\n100", 2048},
      {" \n100", 2048},
      {"9223372036854775807", 9223372036854775807LL},
      {"9223372036854775808", 2048},
      {"1234567890123456789012345", 2048},
      {"-9223372036854775808", 2048},  // fits, but negative
      {"-9223372036854775809", 2048},
  };
  for (const auto& c : cases) {
    ScopedEnv v("ZOL_MEMORY_LIMIT_MB", c.value);
    EXPECT_EQ(envIntOrDefault("ZOL_MEMORY_LIMIT_MB", 2048), c.want) << (c.value ? c.value : "(unset)");
  }
}

TEST(DefaultConfig, DefaultsAndOverrides) {
  // Each setting: its variable, how the unset run leaves it ("" counts as
  // unset, nullptr removes it), the value the set run gives it, and the
  // setting as each run reads it.
  struct Var {
    const char* name;
    const char* unset;
    const char* set;
    std::string (*read)(const Settings&);
    std::string defaulted, given;
  };
  const Var vars[] = {
      {"DRAV_APP_DIR", "", "rel/apps/", [](const Settings& s) { return s.AppDir; }, "/opt/zol/apps", "rel/apps/"},
      {"DRAV_RUNTIME_DIR", nullptr, "/r//x", [](const Settings& s) { return s.RuntimeDir; }, "/opt/zol/runtimes",
       "/r//x"},
      {"DRAV_DB_FILE", nullptr, " db ", [](const Settings& s) { return s.DBFile; }, "/var/lib/zol/db/installed.json",
       " db "},
      {"DRAV_LOG_DIR", nullptr, "/l", [](const Settings& s) { return s.LogDir; }, "/var/log/zol", "/l"},
      {"DRAV_AUDIT_DIR", nullptr, "/a", [](const Settings& s) { return s.AuditDir; }, "/var/log/audit", "/a"},
      {"ZOL_MEMORY_LIMIT_MB", nullptr, "64", [](const Settings& s) { return std::to_string(s.MaxRuntimeMemoryMB); },
       "2048", "64"},
      {"ZOL_CPU_WEIGHT", nullptr, "100", [](const Settings& s) { return std::to_string(s.MaxRuntimeCPUWeight); },
       "512", "100"},
      {"DRAV_METRICS_PATH", nullptr, "/m.prom", [](const Settings& s) { return s.MetricsPath; },
       "/var/lib/zol/metrics.prom", "/m.prom"},
  };
  {
    ScopedEnv env;
    for (const Var& v : vars) env.Set(v.name, v.unset);
    auto s = DefaultConfig();
    for (const Var& v : vars) EXPECT_EQ(v.read(*s), v.defaulted) << v.name;
  }
  ScopedEnv env;
  for (const Var& v : vars) env.Set(v.name, v.set);
  auto a = DefaultConfig();
  auto b = DefaultConfig();
  // Paths verbatim: not cleaned, not made absolute, not trimmed.
  for (const auto* s : {a.get(), b.get()}) {
    for (const Var& v : vars) EXPECT_EQ(v.read(*s), v.given) << v.name;
  }
  // Each call reads the environment afresh: a value kept from an earlier
  // call would outlive the setting it came from.
  env.Set("DRAV_APP_DIR", "/changed");
  EXPECT_EQ(DefaultConfig()->AppDir, "/changed");
  EXPECT_EQ(a->AppDir, "rel/apps/") << "a result already handed out stays as it was";
  b->AppDir = "/changed-b";
  EXPECT_EQ(a->AppDir, "rel/apps/") << "results are values of their own";
}

TEST(Load, ReadsSettingsAndOperationVariables) {
  struct Case {
    const char* value;  // nullptr: unset
    std::string want;
  };
  // Values are taken as they are; empty counts as unset, and the meaning
  // ("1" for the checksum rule) is left to the operation.
  const Case cases[] = {{nullptr, ""}, {"", ""}, {"1", "1"}, {" true ", " true "}};
  for (const auto& c : cases) {
    ScopedEnv vars;
    vars.Set("ZOL_REQUIRE_CHECKSUM", c.value);
    vars.Set("ZOL_SIGNING_KEY_PATH", c.value);
    vars.Set("ZOL_PUBLIC_KEY", c.value);
    vars.Set("DRAV_APP_DIR", "/apps-here");
    vars.Set("ZOL_MEMORY_LIMIT_MB", "77");
    Config cfg = Load();
    const std::string label = c.value ? c.value : "(unset)";
    EXPECT_EQ(cfg.RequireChecksum, c.want) << label;
    EXPECT_EQ(cfg.SigningKeyPath, c.want) << label;
    EXPECT_EQ(cfg.PublicKey, c.want) << label;
    EXPECT_EQ(cfg.AppDir, "/apps-here");
    EXPECT_EQ(cfg.MaxRuntimeMemoryMB, 77);
  }
}

}  // namespace
}  // namespace config
