#include "internal/config/config.h"

#include <gtest/gtest.h>

#include <cstdlib>

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
  struct Var {
    const char* name;
    const char* value;
  };
  const Var unset[] = {{"DRAV_APP_DIR", ""},       {"DRAV_RUNTIME_DIR", nullptr}, {"DRAV_DB_FILE", nullptr},
                       {"DRAV_LOG_DIR", nullptr},  {"DRAV_AUDIT_DIR", nullptr},   {"ZOL_MEMORY_LIMIT_MB", nullptr},
                       {"ZOL_CPU_WEIGHT", nullptr}, {"DRAV_METRICS_PATH", nullptr}};
  {
    ScopedEnv vars;
    for (const auto& v : unset) vars.Set(v.name, v.value);
    auto s = DefaultConfig();
    EXPECT_EQ(s->AppDir, "/opt/zol/apps");
    EXPECT_EQ(s->RuntimeDir, "/opt/zol/runtimes");
    EXPECT_EQ(s->DBFile, "/var/lib/zol/db/installed.json");
    EXPECT_EQ(s->LogDir, "/var/log/zol");
    EXPECT_EQ(s->AuditDir, "/var/log/audit");
    EXPECT_EQ(s->MaxRuntimeMemoryMB, 2048);
    EXPECT_EQ(s->MaxRuntimeCPUWeight, 512);
    EXPECT_EQ(s->MetricsPath, "/var/lib/zol/metrics.prom");
  }
  const Var set[] = {{"DRAV_APP_DIR", "rel/apps/"},  {"DRAV_RUNTIME_DIR", "/r//x"}, {"DRAV_DB_FILE", " db "},
                     {"DRAV_LOG_DIR", "/l"},          {"DRAV_AUDIT_DIR", "/a"},     {"ZOL_MEMORY_LIMIT_MB", "64"},
                     {"ZOL_CPU_WEIGHT", "100"},       {"DRAV_METRICS_PATH", "/m.prom"}};
  ScopedEnv vars;
  for (const auto& v : set) vars.Set(v.name, v.value);
  auto a = DefaultConfig();
  auto b = DefaultConfig();
  for (const auto* s : {a.get(), b.get()}) {
    // Paths verbatim: not cleaned, not made absolute, not trimmed.
    EXPECT_EQ(s->AppDir, "rel/apps/");
    EXPECT_EQ(s->RuntimeDir, "/r//x");
    EXPECT_EQ(s->DBFile, " db ");
    EXPECT_EQ(s->LogDir, "/l");
    EXPECT_EQ(s->AuditDir, "/a");
    EXPECT_EQ(s->MaxRuntimeMemoryMB, 64);
    EXPECT_EQ(s->MaxRuntimeCPUWeight, 100);
    EXPECT_EQ(s->MetricsPath, "/m.prom");
  }
  // Each call reads the environment afresh: a value kept from an earlier
  // call would outlive the setting it came from.
  vars.Set("DRAV_APP_DIR", "/changed");
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
