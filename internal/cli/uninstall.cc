#include "internal/cli/uninstall.h"

// Removing applications and base layers.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <vector>

#include "internal/cli/base_layer.h"
#include "internal/cli/install.h"
#include "internal/cli/lifecycle.h"
#include "internal/cli/run_hold.h"
#include "internal/cli/validators.h"
#include "internal/db/installed.h"
#include "internal/pkgfmt/manifest.h"
#include "internal/pkgfmt/names.h"
#include "internal/runtime/mounts.h"
#include "internal/util/audit.h"
#include "internal/util/beneath.h"
#include "internal/util/files.h"
#include "internal/util/log.h"
#include "internal/util/metrics.h"
#include "internal/util/paths.h"
#include "internal/util/process.h"
#include "internal/util/replace_tree.h"
#include "internal/util/strings.h"

namespace cli {

namespace {

util::Error uninstallBaseLayer(const config::Settings& cfg, const std::string& name) {
  if (!pkgfmt::ValidDirName(name)) return util::Error::Msg("invalid base layer name: " + name);
  const std::string layer_dir = util::JoinPath(cfg.RuntimeDir, name);
  const std::string rootfs = util::JoinPath(layer_dir, "rootfs");
  // An install of the layer running now finishes first, or starts after.
  ZOL_ASSIGN_OR_RETURN(const util::FileLock lock, lockBaseLayers(cfg), "lock base layers");
  // An uninstall killed after setting the layer aside is finished here.
  const bool finished = removeLayerLeftovers(cfg, name);
  struct stat st;
  if (::lstat(layer_dir.c_str(), &st) != 0 && errno == ENOENT) {
    if (!finished) return util::Error::Msg("base layer not installed: " + name);
    util::Info("Uninstalled base layer %s", name);
    util::RecordUninstall(std::string("com.calderim.base.") + name, "");
    return util::Error();
  }
  ZOL_ASSIGN_OR_RETURN(const std::optional<util::FileLock> claim, claimTree(layer_dir, "base layer " + name));
  util::Info("Removing base layer: %s", layer_dir);

  // The root filesystem came from a package: only a mount point that is a
  // real directory inside it is detached, never one reached through a link
  // that could point at a host mount.
  std::optional<util::Root> root;
  if (util::Result<util::Root> r = util::Root::Open(rootfs); r.ok()) root.emplace(std::move(*r));
  for (const std::string& mp : runtime::LayerMountPoints()) {
    const std::string path = util::JoinPath(rootfs, mp);
    util::Error e;
    if (!root.has_value()) {
      e = util::Error::Errno("lstat", path, ENOENT);
    } else if (util::Result<struct stat> l = root->Lstat(mp); !l.ok()) {
      e = l.error();
    } else if (!S_ISDIR(l->st_mode)) {
      e = util::Error::Msg("not a directory inside the layer: " + path);
    }
    if (e.ok()) {
      util::Result<util::Command> cmd = newValidatedCommand("umount", {"-l", path});
      e = cmd.ok() ? util::RunProcess(*cmd) : cmd.error();
    }
    if (!e.ok()) util::Warn("umount %s (ignored): %v", path, e);
  }

  // The layer leaves its place in one rename before anything is deleted:
  // "list" and "info" never show half a layer, and a killed removal is
  // finished by the next command for the layer. Anything still mounted
  // inside stops it before the rename.
  auto failed = [&](const util::Error& e) {
    return util::Error::WithCause(
        util::Sprintf("remove base layer %s: %s\n  Tip: ensure no sandbox is running (check 'mount | grep %s')",
                      name.c_str(), e.message().c_str(), rootfs.c_str()),
        e);
  };
  if (std::vector<std::string> mounted = mountsBeneath(layer_dir); !mounted.empty()) {
    return failed(util::Error::Msg("still mounted: " + mounted.front()));
  }
  util::Result<std::string> aside = util::MoveAside(layer_dir, layerAsidePrefix(cfg, name));
  if (!aside.ok()) return failed(aside.error());
  if (!aside->empty()) {
    if (util::Error e = removeLayerTree(*aside); !e.ok()) return failed(e);
  }
  util::Info("Uninstalled base layer %s", name);
  util::RecordUninstall(std::string("com.calderim.base.") + name, "");
  return util::Error();
}

}  // namespace

util::Error UninstallApp(const config::Settings& cfg, const std::string& id) {
  std::string layer;
  if (baseLayerName(id, &layer)) return uninstallBaseLayer(cfg, layer);

  db::InstalledApp app;
  size_t left = 0;
  {
    // Held from load to save, so a parallel install or uninstall loses nothing.
    ZOL_ASSIGN_OR_RETURN(const db::DBLock lock, db::LockDB(cfg.DBFile), "lock db");
    ZOL_ASSIGN_OR_RETURN(const std::unique_ptr<db::Database> database, db::LoadDB(cfg.DBFile), "load db");
    std::optional<db::InstalledApp> found = database->GetApp(id);
    if (!found.has_value()) {
      // An uninstall killed after saving the registry left its tree set
      // aside: finishing it is this uninstall.
      std::vector<std::string> finished;
      if (pkgfmt::ValidDirName(id)) finished = removeLeftovers(util::AbsPath(util::JoinPath(cfg.AppDir, id)), "");
      if (finished.empty()) return util::Error::Msg("app " + id + " not installed");
      app.Version = finished.front();
    } else {
      app = *found;
      // Neither the uninstall script nor the removal may run under a run.
      ZOL_ASSIGN_OR_RETURN(const std::optional<util::FileLock> claim,
                           claimTree(app.InstallPath, id + " " + app.Version));
      util::Result<std::string> data =
          util::ReadFile(util::JoinPath(app.InstallPath, "manifest.json"), 0, pkgfmt::kMaxManifestBytes);
      if (data.ok()) {
        util::Result<pkgfmt::Manifest> m = pkgfmt::ParseManifest(*data);
        if (m.ok() && m->Lifecycle.has_value() && !m->Lifecycle->Uninstall.empty()) {
          util::Error e = runLifecycleScript(m->Lifecycle->Uninstall, app.InstallPath);
          if (!e.ok()) util::Info("[warn] Uninstall lifecycle script failed (continuing): %v", e);
        }
      }
      if (util::IsAbs(app.InstallPath)) {
        removeLeftovers(util::DirName(app.InstallPath), util::CleanPath(app.InstallPath));
      }

      // The tree leaves its place in one step before the record goes, and is
      // removed after: a kill leaves the record over the whole tree or over
      // none, and the next uninstall finishes the removal.
      const std::string path = app.InstallPath.empty() ? "" : util::CleanPath(app.InstallPath);
      // Renamed, not moved into a new holder: on a full disk an uninstall
      // needs no more room than the registry's rewrite.
      ZOL_ASSIGN_OR_RETURN(const std::string aside, util::MoveAside(path, path + std::string(pkgfmt::kRemovingInfix)),
                           "remove install dir");
      util::Error e = database->RemoveApp(id);
      if (!e.ok()) {
        if (!aside.empty()) ::rename(aside.c_str(), path.c_str());
        return e.Wrap("remove from db");
      }
      if (!aside.empty()) ZOL_TRY(util::RemoveAll(aside), "remove install dir");
    }
    left = database->ListApps().size();
  }

  util::RecordUninstall(id, app.Version);
  util::MetricsSetInstalled(static_cast<int64_t>(left));
  util::WriteMetrics(cfg.MetricsPath).IgnoreError();
  util::Info("Uninstalled %s", id);
  return util::Error();
}

}  // namespace cli
