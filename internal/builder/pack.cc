// Manifest generation, packing and sidecars, shared by every application road.
#include "internal/builder/pack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "internal/builder/validate.h"
#include "internal/builder/zol_archive.h"
#include "internal/pkgfmt/checksum.h"
#include "internal/pkgfmt/signature.h"
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

util::Result<std::string> computeFileChecksum(const std::string& path) {
  return pkgfmt::computeFileChecksumHex(path);
}

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

  std::string digest;
  ZOL_TRY(createZOLArchive(build_dir, pkg_path, &digest));
  ZOL_TRY(util::WriteFile(pkgfmt::ChecksumSidecarPath(pkg_path), digest + "\n", 0644, O_NOFOLLOW),
          "write checksum sidecar");
  util::TransientMade(pkgfmt::ChecksumSidecarPath(pkg_path));
  // Install checks a ".sig" before the checksum; one left by an earlier
  // signed build would make it refuse this package, also when signing fails.
  std::string sig_path = pkgfmt::DetachedSignaturePath(pkg_path);
  if (::unlink(sig_path.c_str()) != 0 && errno != ENOENT) {
    return util::Error::Errno("remove", sig_path, errno).Wrap("remove stale signature");
  }
  if (signing_key_path.empty()) return {};
  util::TransientMade(sig_path);
  ZOL_TRY(pkgfmt::SignPackage(pkg_path, signing_key_path), "sign package");
  return {};
}

}  // namespace builder
