// The package manifest, "manifest.json": its model, reader, rule set and
// writer. Every function here is pure: nothing is logged or written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "internal/util/error.h"
#include "internal/util/json_reader.h"

namespace pkgfmt {

// The largest "manifest.json" any reader takes. Real manifests are a few
// kilobytes; the bound, with a reader that keeps only what the record holds,
// keeps a hostile package from costing more than a few tens of megabytes.
inline constexpr size_t kMaxManifestBytes = 1 << 20;

// Lists and maps written back as null when they were null (or never set), as
// "[]"/"{}" when present and empty. A record's zero value holds null ones;
// builds that write empty lists assign StringList::Empty() (or any vector).
using StringList = util::json::NullableStrings;
using StringMap = util::json::NullableStringMap;  // keys sorted, as written

struct Entry {
  std::string Command;
  StringList Args;
};

struct RuntimeEnv {
  std::string Distro;
  std::string Version;
  std::string Python;
  StringMap Env;
};

struct Depends {
  StringList Runtimes;
  StringList Libraries;
};

struct FilesystemPerms {
  StringList Readonly;
  StringList Writable;
};

struct Permissions {
  bool Network = false;
  bool IPC = false;
  bool Shm = false;
  FilesystemPerms Filesystem;
};

struct BuildInfo {
  std::string SourceType;
  std::string OriginalPackage;
  bool PipBundled = false;
};

struct Lifecycle {
  std::string Install;
  std::string Uninstall;
};

struct Service {
  std::string Name;
  std::string Command;
  bool Enabled = false;
  bool Background = false;
  std::string LogFile;
};

struct Manifest {
  std::string ID;
  std::string Name;
  std::string Version;
  std::string Arch;
  std::string Base;
  std::string Kind;
  std::string Description;
  int64_t FormatVersion = 0;
  int64_t BuildTimestamp = 0;
  std::string Checksum;
  bool Signed = false;
  pkgfmt::Entry Entry;
  RuntimeEnv Runtime;
  pkgfmt::Depends Depends;
  pkgfmt::Permissions Permissions;
  BuildInfo Build;
  // No record when the key is absent or null.
  std::optional<pkgfmt::Lifecycle> Lifecycle;
  std::vector<Service> Services;

  // The first failing rule as a ManifestError's message, or ok: id, version,
  // arch (exactly "x86_64" or "aarch64"), base, and for every kind but
  // exactly "base" the entry command.
  util::Error Validate() const;
};

// A failed validation. Callers only print or wrap it.
struct ManifestError {
  std::string Field;   // "id", "version", "arch", "base", "entry.command"
  std::string Reason;

  // "manifest error: FIELD: REASON"
  std::string Error() const;
  util::Error AsError() const { return util::Error::Msg(Error()); }
};

// Reason "required field is missing".
ManifestError ErrMissingField(std::string field);
// Field "arch", reason "invalid architecture: " and the value as found.
ManifestError ErrInvalidArch(std::string arch);

// Decodes one JSON document (null reads as an empty manifest) and validates
// it. The error is the decoder's or Validate's, with no phrase added.
util::Result<Manifest> ParseManifest(std::string_view data);

// The decoder alone, for a manifest inside another document.
util::Error DecodeManifest(const util::json::Value& value, const std::string& path, Manifest& out);

// The manifest as the system writes it: keys in record order, empty optional
// keys left out, two blanks of indentation, no line feed at the end.
std::string MarshalManifest(const Manifest& m);

}  // namespace pkgfmt
