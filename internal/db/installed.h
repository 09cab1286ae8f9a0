// The registry of installed applications: one JSON file holding one record
// per application id, loaded whole by each command that needs it and
// rewritten whole after a change, with the previous content kept in a ".bak"
// copy beside it.
//
// A save never leaves a torn registry: the new text goes to a file beside the
// registry, is flushed, and is renamed over it. Commands that change the
// registry hold LockDB() from before LoadDB() until after their last save, so
// two of them never lose each other's records.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "internal/util/error.h"
#include "internal/util/file_lock.h"
#include "internal/util/timefmt.h"

namespace db {

// The largest registry file LoadDB reads: some 40,000 records, far beyond
// any host, while a damaged or hostile file cannot make every command hold
// gigabytes.
inline constexpr size_t kMaxRegistryBytes = 16 << 20;
// The most records LoadDB takes. Every record the system writes takes well
// over 128 bytes, so no registry within kMaxRegistryBytes that it wrote comes
// near; a hand-made one of empty records ("[{},{},...]") would otherwise
// cost a hundred times its size in memory.
inline constexpr size_t kMaxRecords = kMaxRegistryBytes / 128;

// One registry record. Every key is written, empty values included.
struct InstalledApp {
  std::string ID;           // "id"
  std::string Name;         // "name"
  std::string Version;      // "version"
  std::string Arch;         // "arch"
  std::string Base;         // "base"
  std::string Kind;         // "kind"
  std::string InstallPath;  // "install_path"
  std::string Status;       // "status"
  util::Time InstalledAt;   // "installed_at", zero time when absent

  bool operator==(const InstalledApp&) const = default;
};

// One command's copy of the registry, used by the thread that loaded it.
class Database {
 public:
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Replaces the first record with app.ID (keeping its position) or appends
  // app, then saves. The in-memory list keeps the change even when the save
  // fails.
  util::Error AddApp(InstalledApp app);
  // A copy of the first record with this id, or nothing.
  std::optional<InstalledApp> GetApp(std::string_view id) const;
  // Removes the first record with this id and saves; an absent id writes
  // nothing and is no error.
  util::Error RemoveApp(std::string_view id);
  // Copies of all records in file order.
  std::vector<InstalledApp> ListApps() const;
  // The records, moved out for a caller that only reads them once; the
  // database holds none afterwards.
  std::vector<InstalledApp> TakeApps();

 private:
  friend util::Result<std::unique_ptr<Database>> LoadDB(const std::string& path);
  explicit Database(std::string path) : file_path_(std::move(path)) {}
  // Backup, then write-new-and-rename.
  util::Error save();

  std::string file_path_;
  std::vector<InstalledApp> apps_;
};

// A registry bound to `path` holding the file's records; a missing or empty
// file gives an empty registry. A read failure is returned unchanged ("open
// PATH: reason"), undecodable content as the decoder's error.
util::Result<std::unique_ptr<Database>> LoadDB(const std::string& path);

// The registry's exact file text for `apps` (no final line feed; "[]" when
// empty).
util::Result<std::string> EncodeApps(const std::vector<InstalledApp>& apps);
// The records of a registry file's text (null reads as none).
util::Result<std::vector<InstalledApp>> DecodeApps(std::string_view text);

// An exclusive lock on the registry at `db_path`, held until destroyed: a
// flock on "<db_path>.lock" (created 0640, its directory 0755 with parents).
// Blocks while another process holds it. Taken by every command that changes
// the registry, from before its LoadDB until after its last save.
using DBLock = util::FileLock;

util::Result<DBLock> LockDB(const std::string& db_path);

}  // namespace db
