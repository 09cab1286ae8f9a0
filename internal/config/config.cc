#include <cstdlib>
#include <limits>

#include "internal/config/config.h"

namespace config {

std::string envOrDefault(const char* name, const std::string& def) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return def;
  return v;
}

bool parseLeadingInt(const std::string& text, int64_t* out) {
  // Written by hand: strtoll also skips line feeds and other white space and
  // clamps on overflow, neither of which the setting's rule allows.
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
  // Accumulate as a negative number so that the most negative value fits.
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    int digit = text[i] - '0';
    if (value < (kMin + digit) / 10) return false;
    value = value * 10 - digit;
  }
  if (!negative) {
    if (value == kMin) return false;
    value = -value;
  }
  *out = value;
  return true;
}

int64_t envIntOrDefault(const char* name, int64_t def) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return def;
  int64_t n;
  if (!parseLeadingInt(v, &n) || n < 0) return def;
  return n;
}

std::unique_ptr<Settings> DefaultConfig() {
  auto s = std::make_unique<Settings>();
  s->AppDir = envOrDefault("DRAV_APP_DIR", "/opt/zol/apps");
  s->RuntimeDir = envOrDefault("DRAV_RUNTIME_DIR", "/opt/zol/runtimes");
  s->DBFile = envOrDefault("DRAV_DB_FILE", "/var/lib/zol/db/installed.json");
  s->LogDir = envOrDefault("DRAV_LOG_DIR", "/var/log/zol");
  s->AuditDir = envOrDefault("DRAV_AUDIT_DIR", "/var/log/audit");
  s->MaxRuntimeMemoryMB = envIntOrDefault("ZOL_MEMORY_LIMIT_MB", 2048);
  s->MaxRuntimeCPUWeight = envIntOrDefault("ZOL_CPU_WEIGHT", 512);
  s->MetricsPath = envOrDefault("DRAV_METRICS_PATH", "/var/lib/zol/metrics.prom");
  return s;
}

Config Load() {
  Config c;
  static_cast<Settings&>(c) = *DefaultConfig();
  c.RequireChecksum = envOrDefault("ZOL_REQUIRE_CHECKSUM", "");
  c.SigningKeyPath = envOrDefault("ZOL_SIGNING_KEY_PATH", "");
  c.PublicKey = envOrDefault("ZOL_PUBLIC_KEY", "");
  return c;
}

}  // namespace config
