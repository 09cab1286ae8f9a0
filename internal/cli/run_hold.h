// What a run holds, so that nothing deletes the files a running application
// sees: a shared lock on its installed version's tree and on its base layer,
// from before the runtime reads them until the run has been torn down. A
// command that would replace or remove either tree claims it exclusively,
// without waiting, and is refused while a run holds it. One lock per tree:
// a run never holds back the install of another application.
#pragma once

#include <optional>
#include <string>

#include "internal/config/config.h"
#include "internal/db/installed.h"
#include "internal/pkgfmt/manifest.h"
#include "internal/util/error.h"
#include "internal/util/file_lock.h"

namespace cli {

// A run's hold on the tree at `dir`; waits while a command replaces it and
// then holds the tree that is there. A missing tree fails with ENOENT.
util::Result<util::FileLock> holdTree(const std::string& dir);

// For a command that replaces or removes the tree at `dir`: nothing when
// there is no tree, else its exclusive lock; while a run holds it, the
// error "WHAT is in use by a running application (pid N: COMMAND LINE)" and
// how to retry.
util::Result<std::optional<util::FileLock>> claimTree(const std::string& dir, const std::string& what);

// A recorded application with its installed manifest, both read with its
// tree held, and its base layer held too when asked for and installed.
struct HeldApp {
  db::InstalledApp app;
  pkgfmt::Manifest manifest;
  util::FileLock tree;
  std::optional<util::FileLock> layer;
};

// Errors: "load db: ...", "app ID not installed", "read manifest: ...",
// "parse manifest: ...", and for a record over a tree that is gone, "app ID
// is recorded at PATH, but that directory is gone" with the uninstall that
// finishes the removal.
util::Result<HeldApp> holdInstalledApp(const config::Settings& cfg, const std::string& id, bool with_layer);

}  // namespace cli
