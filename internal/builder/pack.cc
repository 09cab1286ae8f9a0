// Manifest generation, packing and sidecars, shared by every application road.
#include "internal/builder/pack.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "internal/builder/validate.h"
#include "internal/builder/zol_archive.h"
#include "internal/pkgfmt/checksum.h"
#include "internal/pkgfmt/signature.h"
#include "internal/util/atomic_file.h"
#include "internal/util/dir_list.h"
#include "internal/util/fd.h"
#include "internal/util/files.h"
#include "internal/util/paths.h"
#include "internal/util/transient.h"

namespace builder {

util::Result<BuildStart> StartBuild(const std::string& output, const std::string& id, const std::string& version,
                                    const std::string& arch, const std::string& base, std::string_view prefix) {
  ZOL_ASSIGN_OR_RETURN(std::string pkg_path, PackagePath(output, id, version, arch));
  ZOL_TRY(CheckInstallNames(id, version, base, false));
  ZOL_ASSIGN_OR_RETURN(util::TempDir tmp, util::TempDir::Make(prefix), "create temp build dir");
  std::string files = util::JoinPath(tmp.path(), "files");
  if (::mkdir(files.c_str(), 0755) != 0) return util::Error::Errno("mkdir", files, errno).Wrap("create files dir");
  return BuildStart{std::move(pkg_path), std::move(tmp), std::move(files)};
}

manifestParams AppParams(std::string id, std::string name, std::string version, std::string arch,
                         std::string base) {
  manifestParams p;
  p.ID = std::move(id);
  p.Name = std::move(name);
  p.Version = std::move(version);
  p.Arch = std::move(arch);
  p.Base = std::move(base);
  p.Kind = "cli";
  return p;
}

pkgfmt::Manifest generateManifest(manifestParams p) {
  pkgfmt::Manifest m;
  m.ID = std::move(p.ID);
  m.Name = std::move(p.Name);
  m.Version = std::move(p.Version);
  m.Arch = std::move(p.Arch);
  m.Base = p.Base;
  m.Kind = std::move(p.Kind);
  m.Description = std::move(p.Description);
  m.Entry.Command = std::move(p.Command);
  m.Entry.Args = pkgfmt::StringList::Empty();
  m.Runtime.Distro = "calderim";
  m.Runtime.Version = std::move(p.Base);
  m.Runtime.Env = std::map<std::string, std::string>{
      {"LD_LIBRARY_PATH", "/app/lib:/usr/lib:/usr/lib64"},
      {"PATH", "/app/bin:/app/site-packages/bin:/usr/local/bin:/usr/bin:/bin"},
      {"PYTHONPATH", p.PipBundled ? "/app/site-packages:/app/lib/python3/site-packages"
                                  : "/app/lib/python3/site-packages"},
  };
  m.Depends.Runtimes = pkgfmt::StringList::Empty();
  m.Depends.Libraries = pkgfmt::StringList::Empty();
  m.Permissions.Network = true;
  m.Permissions.IPC = true;
  m.Permissions.Shm = true;
  m.Permissions.Filesystem.Readonly = std::vector<std::string>{"/etc/resolv.conf"};
  m.Permissions.Filesystem.Writable = std::vector<std::string>{"/tmp", "/var/tmp"};
  m.Build.SourceType = std::move(p.SourceType);
  m.Build.OriginalPackage = std::move(p.OriginalPackage);
  m.Build.PipBundled = p.PipBundled;
  return m;
}

util::Error writeZOLManifest(const std::string& dir, const pkgfmt::Manifest& m) {
  // Encoding cannot fail here; "marshal manifest" has no cause to carry.
  return util::WriteFile(util::JoinPath(dir, "manifest.json"), pkgfmt::MarshalManifest(m), 0644, O_NOFOLLOW)
      .Wrap("write manifest");
}

util::Error writeBuildArtifacts(const std::string& build_dir, const std::string& output, const pkgfmt::Manifest& m) {
  // Before anything is written: not even the output directory is made for
  // a package that install would refuse.
  ZOL_TRY(CheckInstallNames(m.ID, m.Version, m.Base, m.Kind == "base"));
  ZOL_TRY(writeZOLManifest(build_dir, m));
  ZOL_TRY(util::MkdirAll(output, 0755), "create output dir");
  return {};
}

namespace {

// What builds of `pkg_path` killed outright (no watcher left to clean up)
// left beside it: the pending package ".P.tmpN", the file that was to become
// it ("..P.tmpN.tmpM") and its detached signature (".P.tmpN.sig"). Files in
// the making are held locked by their writers, and a build's signature
// exists only while its pending package does, so only what a dead build left
// goes.
void removeKilledBuildsLeftovers(const std::string& pkg_path) {
  const std::string dir = util::DirName(pkg_path);
  const std::string base = util::BaseName(pkg_path);
  auto names = util::ListDir(dir);
  if (!names.ok()) return;
  // The pending packages first, so that their signatures are judged after.
  std::vector<std::string> signatures;
  for (const std::string& name : *names) {
    const size_t inner = name.rfind(".tmp");
    if (util::IsTempName(name, base)) {
      util::RemoveIfUnheld(util::JoinPath(dir, name));
    } else if (inner != std::string::npos && name.size() > 1 && util::IsTempName(name.substr(1, inner - 1), base) &&
               util::IsTempName(name, name.substr(1, inner - 1))) {
      util::RemoveIfUnheld(util::JoinPath(dir, name));
    } else if (util::HasSuffix(name, ".sig") && util::IsTempName(name.substr(0, name.size() - 4), base)) {
      signatures.push_back(name);
    }
  }
  for (const std::string& name : signatures) {
    struct stat st;
    const std::string pending = util::JoinPath(dir, name.substr(0, name.size() - 4));
    if (::lstat(pending.c_str(), &st) == 0 || errno != ENOENT) continue;
    util::RemoveIfUnheld(util::JoinPath(dir, name));
  }
}

// A fresh name beside `pkg_path` for the package in the making, of the form
// util::RemoveStaleTemps takes for the package's own.
util::Result<std::string> pendingPackagePath(const std::string& pkg_path) {
  std::string name(1, '.');
  name.append(util::BaseName(pkg_path)).append(".tmp");
  const std::string base = util::JoinPath(util::DirName(pkg_path), name);
  removeKilledBuildsLeftovers(pkg_path);
  for (int attempt = 0; attempt < 100; ++attempt) {
    uint32_t r = 0;
    if (::getrandom(&r, sizeof r, 0) != sizeof r) r = static_cast<uint32_t>(::random());
    const std::string path = base + std::to_string(r);
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) return path;
  }
  return util::Error::Errno("open", pkg_path, EEXIST);
}

}  // namespace

util::Error packZOL(const std::string& build_dir, const std::string& pkg_path, const std::string& signing_key_path) {
  // A build never reports success for a package that install would refuse,
  // so an unreadable or invalid manifest ends the build here.
  std::string manifest_path = util::JoinPath(build_dir, "manifest.json");
  auto data = util::ReadFile(manifest_path, O_NOFOLLOW, pkgfmt::kMaxManifestBytes);
  if (!data.ok()) return data.error().Wrap("read manifest");
  auto m = pkgfmt::ParseManifest(*data);
  if (!m.ok()) return m.error();
  ZOL_TRY(CheckInstallNames(m->ID, m->Version, m->Base, m->Kind == "base"));
  // Written again from the record: the builder's own manifest comes out
  // byte for byte as it was, anything else in the canonical form.
  ZOL_TRY(writeZOLManifest(build_dir, *m));

  // Everything is written under temporary names beside the package and put
  // in place last to first: the sidecars, then the package. A reader thus
  // never pairs the new package with an old sidecar (an old package beside a
  // new sidecar fails the check), and an interrupted build, whose temporary
  // files are its own, leaves no part of the new package.
  ZOL_ASSIGN_OR_RETURN(const std::string temp, pendingPackagePath(pkg_path), "create output file");
  util::TransientMade(temp);
  struct RemoveTemp {
    std::string path;
    ~RemoveTemp() {
      if (!path.empty() && ::unlink(path.c_str()) == 0) util::TransientGone(path);
    }
  } remove_temp{temp}, remove_temp_sig{};
  std::string digest;
  ZOL_TRY(createZOLArchive(build_dir, temp, &digest));
  // Held like any file in the making, so no other writer takes it for a
  // killed one's leftover (util::RemoveStaleTemps).
  util::UniqueFd held(::open(temp.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (held.valid()) ::flock(held.get(), LOCK_EX | LOCK_NB);

  // Install checks a ".sig" before the checksum; one left by an earlier
  // signed build would make it refuse this package, also when signing fails.
  std::string sig_path = pkgfmt::DetachedSignaturePath(pkg_path);
  if (::unlink(sig_path.c_str()) != 0 && errno != ENOENT) {
    return util::Error::Errno("remove", sig_path, errno).Wrap("remove stale signature");
  }
  {
    util::AtomicFileOptions options;
    options.name_target = true;
    options.transient = true;
    ZOL_ASSIGN_OR_RETURN(util::AtomicFile sidecar,
                         util::AtomicFile::Create(pkgfmt::ChecksumSidecarPath(pkg_path), 0644, options),
                         "write checksum sidecar");
    ZOL_TRY(sidecar.Write(digest + "\n"), "write checksum sidecar");
    ZOL_TRY(sidecar.Commit(), "write checksum sidecar");
  }
  if (!signing_key_path.empty()) {
    const std::string temp_sig = pkgfmt::DetachedSignaturePath(temp);
    remove_temp_sig.path = temp_sig;
    util::TransientMade(temp_sig);
    ZOL_TRY(pkgfmt::SignPackage(temp, signing_key_path), "sign package");
    // Reported before each rename, so an end right after it leaves nothing.
    util::TransientMade(sig_path);
    if (::rename(temp_sig.c_str(), sig_path.c_str()) != 0) {
      return util::Error::Errno("rename", sig_path, errno).Wrap("sign package");
    }
    remove_temp_sig.path.clear();
    util::TransientGone(temp_sig);
  }
  util::TransientMade(pkg_path);
  if (::rename(temp.c_str(), pkg_path.c_str()) != 0) {
    const int err = errno;
    util::TransientGone(pkg_path);
    return util::Error::Errno("rename", pkg_path, err).Wrap("create output file");
  }
  remove_temp.path.clear();
  util::TransientGone(temp);
  return {};
}

}  // namespace builder
