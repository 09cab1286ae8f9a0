#include "internal/cli/install.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <vector>

#include "internal/cli/base_layer.h"
#include "internal/cli/lifecycle.h"
#include "internal/cli/run_hold.h"
#include "internal/db/installed.h"
#include "internal/pkgfmt/extract.h"
#include "internal/pkgfmt/checksum.h"
#include "internal/pkgfmt/member_read.h"
#include "internal/pkgfmt/names.h"
#include "internal/pkgfmt/signature.h"
#include "internal/pkgfmt/validate.h"
#include "internal/util/audit.h"
#include "internal/util/beneath.h"
#include "internal/util/dir_list.h"
#include "internal/util/disk.h"
#include "internal/util/files.h"
#include "internal/util/log.h"
#include "internal/util/metrics.h"
#include "internal/util/paths.h"
#include "internal/util/replace_tree.h"
#include "internal/util/strings.h"
#include "internal/util/tempdir.h"
#include "internal/util/timefmt.h"

namespace cli {

namespace {

util::Error CheckDirNames(const pkgfmt::Manifest& m) {
  struct Field {
    const char* name;
    const std::string& value;
  };
  for (const Field& f : {Field{"id", m.ID}, Field{"version", m.Version}, Field{"base", m.Base}}) {
    if (!(&f.value == &m.Version ? pkgfmt::ValidVersionDirName(f.value) : pkgfmt::ValidDirName(f.value))) {
      return util::Error::Msg(util::Sprintf("invalid manifest %s %s: not usable as a directory name", f.name,
                                            util::Quote(f.value).c_str()));
    }
  }
  if (m.Arch.find('\0') != std::string::npos) {
    return util::Error::Msg("invalid manifest arch " + util::Quote(m.Arch) + ": not usable as a directory name");
  }
  return util::Error();
}

// Commits `staging` as `target`. Where the file system can, the two trees
// are exchanged in one step, so `target` always holds a complete tree, and
// the old one, left at the staging path, is removed afterwards (by the next
// install or uninstall of the id when this one is killed first). Elsewhere
// the old tree waits in a holder beside the versions until the new one is in
// place, and goes back when it cannot be.
util::Error CommitTree(const std::string& staging, const std::string& target) {
  ZOL_ASSIGN_OR_RETURN(const std::string old, util::ReplaceTree(staging, target,
                                                                 {.infix = pkgfmt::kReplacedInfix,
                                                                  .commit_context = "commit install (rename)",
                                                                  .aside_context = "remove existing install"}));
  if (!old.empty()) {
    util::Error e = util::RemoveAll(old);
    if (!e.ok()) util::Warn("remove replaced install %s: %v", old, e);
  }
  return util::Error();
}

// The version a holder's name `name` is for: the name minus `infix` and the
// six random characters after it.
bool holderVersion(std::string_view name, std::string_view infix, std::string* version) {
  constexpr size_t kRandom = 6;
  if (name.size() <= infix.size() + kRandom) return false;
  const size_t at = name.size() - kRandom - infix.size();
  if (name.substr(at, infix.size()) != infix) return false;
  *version = std::string(name.substr(0, at));
  return true;
}

// The layer an automatic install is for: its package must turn out to be
// that base once extracted, whatever the quick look at it said.
struct WantedBase {
  std::string base, arch;
};

// A normal install (want == nullptr) may install a missing base layer first;
// an automatic one (want set) never looks for a base of its own, so a crafted
// package cannot start a chain of installs. An upgrade logs the version it
// replaces from the same read of the package that is checked and installed.
util::Error installPackage(const config::Config& cfg, const std::string& pkgPath, const WantedBase* want,
                           bool upgrade = false);

}  // namespace

std::vector<std::string> removeLeftovers(const std::string& id_dir, const std::string& keep) {
  std::vector<std::string> uninstalled;
  util::Result<std::vector<std::string>> names = util::ListDir(id_dir);
  if (!names.ok()) return uninstalled;
  for (const std::string& name : *names) {
    const std::string path = util::JoinPath(id_dir, name);
    std::string version;
    const bool staging = util::HasSuffix(name, pkgfmt::kStagingSuffix) && name.size() > pkgfmt::kStagingSuffix.size();
    const bool replaced = holderVersion(name, pkgfmt::kReplacedInfix, &version);
    const bool removing = holderVersion(name, pkgfmt::kRemovingInfix, &version);
    struct stat st;
    if (!(staging || replaced || removing) || path == keep || ::lstat(path.c_str(), &st) != 0 ||
        !S_ISDIR(st.st_mode)) {
      continue;
    }
    util::Error e = util::RemoveAll(path);
    if (!e.ok()) {
      if (staging) {
        util::Warn("cleanup stale staging dir %s: %v", path, e);
      } else {
        util::Warn("remove leftover %s: %v", path, e);
      }
    } else if (removing) {
      uninstalled.push_back(version);
    }
  }
  return uninstalled;
}

util::Error verifyPackageIntegrity(const config::Config& cfg, const std::string& pkgPath,
                                   const util::Result<std::string>* digest) {
  struct stat st;
  if (::stat(pkgfmt::DetachedSignaturePath(pkgPath).c_str(), &st) == 0) {
    ZOL_TRY(digest == nullptr ? pkgfmt::VerifyPackageSig(pkgPath, cfg.PublicKey)
                              : pkgfmt::VerifyPackageSigDigest(pkgPath, cfg.PublicKey, *digest),
            "package signature verification failed");
    return util::Error();
  }
  const bool required = cfg.RequireChecksum == "1";
  const std::string sidecar = pkgfmt::ChecksumSidecarPath(pkgPath);
  util::Result<std::string> text = util::ReadRegularFile(sidecar, 4096);
  if (!text.ok()) {
    if (text.error().Is(ENOENT)) {
      if (required) {
        return util::Error::Msg(util::Sprintf(
            "package integrity check: no .sig or .sha256 found for %s (ZOL_REQUIRE_CHECKSUM=1)", pkgPath.c_str()));
      }
      util::Warn("[warn] no checksum or signature for %s \u2014 skipping integrity check", util::BaseName(pkgPath));
      return util::Error();
    }
    // Too long to be a digest, or no regular file: it cannot match, and
    // letting it pass unread would report an unchecked package as checked.
    if (text.error().sys_errno() == 0) return text.error().Wrap("package integrity check failed");
    // A sidecar that exists but cannot be read proves nothing; when checksums
    // are required that must not pass, and a directory is never a sidecar.
    if (required || text.error().Is(EISDIR)) return text.error().Wrap("package integrity check: unreadable .sha256");
    return util::Error();
  }
  std::string expected = *text;
  const char* ws = " \t\n\r\v\f";
  expected.erase(0, expected.find_first_not_of(ws) == std::string::npos ? expected.size()
                                                                         : expected.find_first_not_of(ws));
  expected.erase(expected.find_last_not_of(ws) + 1);
  if (expected.empty() && required) {
    return util::Error::Msg(util::Sprintf(
        "package integrity check: empty .sha256 for %s (ZOL_REQUIRE_CHECKSUM=1)", pkgPath.c_str()));
  }
  util::Error e;
  if (digest == nullptr) {
    e = pkgfmt::VerifyFileChecksum(pkgPath, expected);
  } else if (!expected.empty() && !digest->ok()) {
    e = digest->error();
  } else if (!expected.empty() && **digest != expected) {
    e = util::Error::Msg("checksum mismatch for " + pkgPath + ": expected " + expected + ", got " + **digest);
  }
  ZOL_TRY(e, "package integrity check failed");
  if (expected.empty()) {
    // An empty sidecar passes, but nothing was hashed: saying "verified"
    // would report a check that never ran.
    util::Warn("[warn] %s has an empty .sha256 and no .sig \u2014 nothing was verified", util::BaseName(pkgPath));
    return util::Error();
  }
  util::Warn("[warn] %s has no .sig signature \u2014 integrity verified, but authenticity unconfirmed",
             util::BaseName(pkgPath));
  return util::Error();
}

util::Result<pkgfmt::Manifest> peekZOLManifest(const std::string& path) {
  ZOL_ASSIGN_OR_RETURN(const std::optional<std::string> data,
                       pkgfmt::ReadLastMember(path, "manifest.json", pkgfmt::kMaxManifestBytes));
  if (!data.has_value()) return util::Error::Msg("manifest.json not found in " + path);
  return pkgfmt::ParseManifest(*data);
}

std::vector<std::string> findBaseZOLs(const std::string& dir, const std::string& base, const std::string& arch,
                                      const std::string& except) {
  std::vector<std::string> found;
  util::Result<std::vector<std::string>> names = util::ListDir(dir);
  if (!names.ok()) return found;
  // Reading a candidate's manifest reads the whole file (the last
  // "manifest.json" is the one the extractor keeps), and the application
  // beside its base is often the largest file there.
  struct stat skip;
  const bool skipping = !except.empty() && ::stat(except.c_str(), &skip) == 0;
  for (const std::string& n : *names) {
    std::string p = util::JoinPath(dir, n);
    struct stat st;
    if (::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    if (util::Ext(n) != ".zol") continue;
    // Only a regular file can be a package; opening a FIFO someone left in
    // the directory would wait for a writer forever.
    if (::stat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (skipping && st.st_dev == skip.st_dev && st.st_ino == skip.st_ino) continue;
    util::Result<pkgfmt::Manifest> m = peekZOLManifest(p);
    if (!m.ok()) continue;
    if (m->Kind == "base" && m->Base == base && m->Arch == arch) found.push_back(p);
  }
  return found;
}

void ensureBaseRuntime(const std::string& pkgPath, const pkgfmt::Manifest& m, const config::Config& cfg) {
  if (m.Base.empty() || m.Arch.empty()) return;
  const std::string layer_dir = util::JoinPath(cfg.RuntimeDir, m.Base + "-" + m.Arch);
  std::string rootfs = util::JoinPath(layer_dir, "rootfs");
  // A layer that a killed install left without its runtime.json is
  // installed again, like a missing one.
  if (layerComplete(layer_dir)) return;
  if (util::Exists(rootfs)) {
    util::Info("[warn] Base layer incomplete: %s", layer_dir);
  } else {
    util::Info("[warn] Base layer not found: %s", rootfs);
  }
  std::string dir = util::DirName(pkgPath);
  const std::vector<std::string> candidates = findBaseZOLs(dir, m.Base, m.Arch, pkgPath);
  if (candidates.empty()) {
    util::Info("[warn] No base.zol found in %s \u2014 prepare runtime manually.", dir);
    return;
  }
  // A candidate that fails (one crafted to look like the base, a damaged
  // one) must not keep the genuine package after it from being tried.
  const WantedBase want{m.Base, m.Arch};
  for (const std::string& found : candidates) {
    util::Info("[auto] Found base package: %s", found);
    util::Info("[auto] Installing base layer (this may take a few minutes)...");
    util::Error e = installPackage(cfg, found, &want);
    if (e.ok()) {
      util::Info("[auto] Base layer installed successfully.");
      return;
    }
    util::Info("[warn] Auto-install of base layer failed: %v", e);
    util::Info("[warn] Run manually: zol-cli install %s", found);
  }
}

util::Error InstallPackage(const config::Config& cfg, const std::string& pkgPath) {
  return installPackage(cfg, pkgPath, nullptr);
}

namespace {

util::Error installPackage(const config::Config& cfg, const std::string& pkgPath, const WantedBase* want,
                           bool upgrade) {
  // The trial check and the install share one extraction: the tree that was
  // checked is the tree that is installed, and the package is inflated once.
  if (!upgrade) ZOL_TRY(pkgfmt::CheckZOLName(pkgPath), "validate package");
  // Both sidecars are checked against the digest of the bytes the one
  // extraction reads: opening the package again for a check would verify
  // whatever the file holds by then, not what is installed. The extractor
  // reads the file to its end, so the digest covers all of it. It is taken
  // whether or not a sidecar is there yet, so one that appears meanwhile is
  // still checked against these bytes.
  std::optional<pkgfmt::Sha256> hash;
  // Whoever reports it puts it in context ("compute digest", "package
  // integrity check failed").
  util::Result<std::string> digest = util::Error::Msg("sha256: digest failed");
  if (util::Result<pkgfmt::Sha256> h = pkgfmt::Sha256::Make(); h.ok()) {
    hash.emplace(std::move(*h));
  } else {
    digest = h.error();
  }
  util::Result<util::TempDir> tmp = util::TempDir::Make(upgrade ? "zol-upgrade-" : "zol-install-");
  if (!tmp.ok()) return tmp.error().Wrap("create temp dir");
  const std::string& xdir = tmp->path();
  pkgfmt::ExtractOptions extract;
  extract.hash = hash ? &*hash : nullptr;
  // The extracted tree is renamed into place when it can be and copied
  // otherwise; as copies, hard-linked names give the same installed tree
  // either way: independent files.
  extract.copy_hard_links = true;
  std::optional<pkgfmt::ValidatedZOL> extracted;
  if (upgrade) {
    // The upgrade's own steps, in its own words, up to its version line;
    // then the rest of the install's trial check on the same tree.
    ZOL_TRY(pkgfmt::ExtractTarGz(pkgPath, xdir, extract), "extract package");
    ZOL_ASSIGN_OR_RETURN(extracted, pkgfmt::ReadZOLManifest(xdir));
    {
      ZOL_ASSIGN_OR_RETURN(const std::unique_ptr<db::Database> database, db::LoadDB(cfg.DBFile), "load db");
      const std::optional<db::InstalledApp> old = database->GetApp(extracted->manifest.ID);
      if (old.has_value()) {
        util::Info("Upgrading %s from %s to %s", extracted->manifest.ID, old->Version, extracted->manifest.Version);
      }
    }
    ZOL_TRY(pkgfmt::CheckZOLName(pkgPath), "validate package");
    ZOL_TRY(pkgfmt::CheckFilesDir(xdir), "validate package");
  } else {
    ZOL_ASSIGN_OR_RETURN(extracted, pkgfmt::ExtractValidZOL(pkgPath, xdir, extract), "validate package");
  }
  const pkgfmt::ValidatedZOL& checked = *extracted;
  const pkgfmt::Manifest& m = checked.manifest;
  if (hash) {
    if (std::string hex = hash->HexDigest(); !hex.empty()) digest = std::move(hex);
  }

  struct stat st;
  if (::stat(pkgPath.c_str(), &st) == 0) {
    ZOL_TRY(util::CheckDiskSpace(cfg.AppDir, 3 * static_cast<uint64_t>(st.st_size)), "pre-install disk check");
  }

  ZOL_TRY(CheckDirNames(m));
  // The search read one member; a later hard link of the same name can make
  // the extracted manifest another one.
  if (want != nullptr && (m.Kind != "base" || m.Base != want->base || m.Arch != want->arch)) {
    return util::Error::Msg("not a base package for " + want->base + "-" + want->arch + " once extracted (id " +
                            util::Quote(m.ID) + ", kind " + util::Quote(m.Kind) + ")");
  }
  // An application id with a base-layer prefix could never be shown or
  // removed by id: uninstall and info would take it for a layer.
  if (m.Kind != "base" && pkgfmt::HasBaseLayerIDPrefix(m.ID)) {
    return util::Error::Msg("invalid manifest id " + util::Quote(m.ID) +
                            ": application ids may not begin with \"base.\" or \"com.calderim.base.\"");
  }

  ZOL_TRY(verifyPackageIntegrity(cfg, pkgPath, &digest));

  if (m.Kind == "base") return installBaseZOL(xdir, m, cfg);

  checkDependencies(m, cfg);
  ensureBaseRuntime(pkgPath, m, cfg);

  // Recorded absolute, so an uninstall from another directory removes this
  // tree and nothing else.
  const std::string install_dir = util::AbsPath(util::JoinPath({cfg.AppDir, m.ID, m.Version}));
  const std::string staging = install_dir + std::string(pkgfmt::kStagingSuffix);

  // Held from before anything under the id's directory is touched until the
  // registry is saved: installs and uninstalls take turns, so the staging
  // directory and every tree in transit beside the versions belong to this
  // install alone, and whatever killed ones left can go.
  std::optional<db::DBLock> lock;
  ZOL_ASSIGN_OR_RETURN(lock, db::LockDB(cfg.DBFile), "lock db");
  {
    // Read before anything under the id's directory is touched: a registry
    // that does not decode would otherwise leave a committed tree without
    // a record.
    ZOL_ASSIGN_OR_RETURN(const std::unique_ptr<db::Database> before, db::LoadDB(cfg.DBFile), "load db");
    // The recorded tree stays whatever its name: older installs allowed
    // versions that look like leftovers.
    std::optional<db::InstalledApp> rec = before->GetApp(m.ID);
    const std::string recorded = rec.has_value() ? rec->InstallPath : "";
    if (recorded == staging) {
      return util::Error::Msg("create staging dir: " + staging + " is the recorded install of " + m.ID);
    }
    removeLeftovers(util::DirName(install_dir), recorded);
  }
  // A same-version reinstall replaces the tree a run of it may be using.
  ZOL_ASSIGN_OR_RETURN(const std::optional<util::FileLock> claim, claimTree(install_dir, m.ID + " " + m.Version));
  util::Error e = util::RemoveAll(staging);
  if (!e.ok()) util::Warn("cleanup stale staging dir %s: %v", staging, e);

  ZOL_TRY(util::EnsureDir(staging), "create staging dir");
  util::TreeGuard guard(staging, "cleanup failed staging dir");

  // The checked tree moves into place; it is copied only across file systems.
  ZOL_TRY(moveDirN(util::JoinPath(xdir, "files"), util::JoinPath(staging, "files")), "copy files");
  // The bytes that were parsed, not whatever the name leads to now.
  ZOL_TRY(util::WriteFile(util::JoinPath(staging, "manifest.json"), checked.manifest_bytes, 0644), "copy manifest");

  if (m.Lifecycle.has_value() && !m.Lifecycle->Install.empty()) {
    ZOL_TRY(runLifecycleScript(m.Lifecycle->Install, staging), "install lifecycle script failed");
  }

  ZOL_TRY(CommitTree(staging, install_dir));
  guard.Release();

  ZOL_ASSIGN_OR_RETURN(const std::unique_ptr<db::Database> database, db::LoadDB(cfg.DBFile), "load db");
  db::InstalledApp rec;
  rec.ID = m.ID;
  rec.Name = m.Name;
  rec.Version = m.Version;
  rec.Arch = m.Arch;
  rec.Base = m.Base;
  rec.Kind = m.Kind;
  rec.InstallPath = install_dir;
  rec.Status = "installed";
  rec.InstalledAt = util::Now();
  ZOL_TRY(database->AddApp(rec), "save to db");
  const size_t count = database->ListApps().size();
  lock.reset();

  util::RecordInstall(m.ID, m.Version, install_dir);
  util::MetricsSetInstalled(static_cast<int64_t>(count));
  util::WriteMetrics(cfg.MetricsPath).IgnoreError();
  util::Info("Installed %s %s", m.ID, m.Version);
  return util::Error();
}

}  // namespace

util::Error UpgradeApp(const config::Config& cfg, const std::string& pkgPath) {
  // The whole package is unpacked, not the manifest alone, so a package the
  // extractor refuses fails at that step, before anything is logged; the
  // tree it gave is the one checked and installed, so no second read of the
  // file can install other bytes than the ones the version line came from.
  return installPackage(cfg, pkgPath, nullptr, true);
}

}  // namespace cli
