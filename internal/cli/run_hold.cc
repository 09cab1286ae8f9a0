#include "internal/cli/run_hold.h"

#include <cerrno>

#include "internal/pkgfmt/names.h"
#include "internal/util/files.h"
#include "internal/util/paths.h"
#include "internal/util/strings.h"

namespace cli {

namespace {

// The command line of process `pid`, its arguments joined by blanks.
std::string commandLine(pid_t pid) {
  util::Result<std::string> raw = util::ReadFile("/proc/" + std::to_string(pid) + "/cmdline", 0, 4096);
  if (!raw.ok()) return "";
  std::string text = *raw;
  while (!text.empty() && text.back() == '\0') text.pop_back();
  for (char& c : text) {
    if (c == '\0') c = ' ';
  }
  return text;
}

util::Error inUse(const std::string& what, const std::string& dir) {
  std::string text = what + " is in use by a running application";
  // One holder is enough to tell which run to end.
  if (const std::vector<pid_t> holders = util::LockHolders(dir); !holders.empty()) {
    const std::string cmd = commandLine(holders.front());
    text += util::Sprintf(" (pid %d%s%s)", static_cast<int>(holders.front()), cmd.empty() ? "" : ": ", cmd.c_str());
  }
  return util::Error::Msg(text + "\n  Tip: end that run, then run this command again");
}

}  // namespace

util::Result<util::FileLock> holdTree(const std::string& dir) { return util::LockDir(dir, true, true); }

util::Result<std::optional<util::FileLock>> claimTree(const std::string& dir, const std::string& what) {
  util::Result<util::FileLock> lock = util::LockDir(dir, false, false);
  if (lock.ok()) return std::optional<util::FileLock>(std::move(*lock));
  if (lock.error().Is(ENOENT)) return std::optional<util::FileLock>();
  if (lock.error().Is(EWOULDBLOCK)) return inUse(what, dir);
  return lock.error();
}

util::Result<HeldApp> holdInstalledApp(const config::Settings& cfg, const std::string& id, bool with_layer) {
  // The record is read again once its tree is held: an install or uninstall
  // between the two reads means another try.
  for (int attempt = 0; attempt < 20; ++attempt) {
    ZOL_ASSIGN_OR_RETURN(std::unique_ptr<db::Database> database, db::LoadDB(cfg.DBFile), "load db");
    std::optional<db::InstalledApp> app = database->GetApp(id);
    if (!app.has_value()) return util::Error::Msg("app " + id + " not installed");
    util::Result<util::FileLock> tree = holdTree(app->InstallPath);
    ZOL_ASSIGN_OR_RETURN(database, db::LoadDB(cfg.DBFile), "load db");
    std::optional<db::InstalledApp> now = database->GetApp(id);
    if (!now.has_value()) return util::Error::Msg("app " + id + " not installed");
    if (now->InstallPath != app->InstallPath) continue;
    if (!tree.ok()) {
      if (tree.error().Is(ENOENT)) {
        return util::Error::Msg(util::Sprintf(
            "app %s is recorded at %s, but that directory is gone (an uninstall may have been interrupted)\n"
            "  Tip: finish the removal with: zol-cli uninstall %s",
            id.c_str(), app->InstallPath.c_str(), id.c_str()));
      }
      return tree.error().Wrap("hold install dir");
    }
    ZOL_ASSIGN_OR_RETURN(
        std::string bytes,
        util::ReadFile(util::JoinPath(now->InstallPath, "manifest.json"), 0, pkgfmt::kMaxManifestBytes),
        "read manifest");
    ZOL_ASSIGN_OR_RETURN(pkgfmt::Manifest manifest, pkgfmt::ParseManifest(bytes), "parse manifest");
    HeldApp held{std::move(*now), std::move(manifest), std::move(*tree), std::nullopt};
    if (with_layer && pkgfmt::ValidDirName(held.manifest.Base) && pkgfmt::ValidDirName(held.manifest.Arch)) {
      const std::string layer =
          util::JoinPath(cfg.RuntimeDir, held.manifest.Base + "-" + held.manifest.Arch);
      util::Result<util::FileLock> lock = holdTree(layer);
      // A missing layer is the runtime's to report, in its own words.
      if (lock.ok()) {
        held.layer.emplace(std::move(*lock));
      } else if (!lock.error().Is(ENOENT)) {
        return lock.error().Wrap("hold base layer");
      }
    }
    return held;
  }
  return util::Error::Msg("app " + id + " keeps being reinstalled; run the command again");
}

}  // namespace cli
