// The effective settings of one invocation: built-in defaults, each
// overridable by an environment variable. There is no configuration file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace config {

struct Settings {
  std::string AppDir;               // DRAV_APP_DIR
  std::string RuntimeDir;           // DRAV_RUNTIME_DIR
  std::string DBFile;               // DRAV_DB_FILE
  std::string LogDir;               // DRAV_LOG_DIR
  std::string AuditDir;             // DRAV_AUDIT_DIR
  int64_t MaxRuntimeMemoryMB = 0;   // ZOL_MEMORY_LIMIT_MB
  int64_t MaxRuntimeCPUWeight = 0;  // ZOL_CPU_WEIGHT
  std::string MetricsPath;          // DRAV_METRICS_PATH
};

// A new value read from the environment. Paths are taken verbatim; a variable
// set to the empty string counts as unset; an unreadable or negative integer
// silently falls back to its default. Never fails.
std::unique_ptr<Settings> DefaultConfig();

// Everything one command takes from its environment, read once by the
// dispatcher and handed to the front end. The three variables beyond the
// settings belong to one operation each: the front end passes each value on
// to the operation that gives it meaning, so the package format and the
// builder see only their own variable and never the settings. Each holds the
// variable's text, empty when it is unset or empty.
struct Config : Settings {
  std::string RequireChecksum;  // ZOL_REQUIRE_CHECKSUM, for install
  std::string SigningKeyPath;   // ZOL_SIGNING_KEY_PATH, for the builder
  std::string PublicKey;        // ZOL_PUBLIC_KEY, for the signature check
};
Config Load();

// The rules behind DefaultConfig, visible for tests.
std::string envOrDefault(const char* name, const std::string& def);
int64_t envIntOrDefault(const char* name, int64_t def);
// Reads `text` the way envIntOrDefault does: leading blanks and tabs, an
// optional sign, at least one digit, stop at the first non-digit; false when
// there is no digit or the number leaves the signed 64-bit range.
bool parseLeadingInt(const std::string& text, int64_t* out);

}  // namespace config
