#include "tests/packages.h"

#include <sys/stat.h>
#include <unistd.h>

#include "internal/pkgfmt/pack_tree.h"
#include "internal/util/files.h"
#include "internal/util/json_writer.h"
#include "internal/util/paths.h"
#include "internal/util/tempdir.h"
#include "tests/harness.h"

namespace e2e {

std::string AppManifestJSON(const AppFields& s) {
  util::JsonWriter w("  ");
  w.BeginObject();
  w.Field("id", s.id);
  w.Field("name", s.name);
  w.Field("version", s.version);
  w.Field("arch", s.arch);
  w.Field("base", s.base);
  w.Field("kind", s.kind);
  if (!s.description.empty()) w.Field("description", s.description);
  w.Key("entry");
  w.BeginObject();
  w.Field("command", s.command);
  w.Field("args", std::vector<std::string>{});
  w.EndObject();
  w.Key("runtime");
  w.BeginObject();
  w.Field("distro", "calderim");
  w.Field("version", s.base);
  w.Key("env");
  w.BeginObject();
  w.Field("PATH", "/app/bin:/usr/bin:/bin");
  w.EndObject();
  w.EndObject();
  w.Key("depends");
  w.BeginObject();
  w.Field("runtimes", std::vector<std::string>{});
  w.Field("libraries", std::vector<std::string>{});
  w.EndObject();
  w.Key("permissions");
  w.BeginObject();
  w.Field("network", true);
  w.Field("ipc", true);
  w.Field("shm", true);
  w.Key("filesystem");
  w.BeginObject();
  w.Field("readonly", std::vector<std::string>{"/etc/resolv.conf"});
  w.Field("writable", std::vector<std::string>{"/tmp", "/var/tmp"});
  w.EndObject();
  w.EndObject();
  w.Key("build");
  w.BeginObject();
  w.Field("source_type", "dir");
  w.Field("original_package", "manual");
  w.EndObject();
  if (!s.install_script.empty() || !s.uninstall_script.empty()) {
    w.Key("lifecycle");
    w.BeginObject();
    if (!s.install_script.empty()) w.Field("install", s.install_script);
    if (!s.uninstall_script.empty()) w.Field("uninstall", s.uninstall_script);
    w.EndObject();
  }
  w.EndObject();
  return w.Take();
}

std::string BaseManifestJSON(const std::string& base, const std::string& arch, const std::string& version) {
  util::JsonWriter w("  ");
  w.BeginObject();
  w.Field("id", "com.calderim.base." + base + "-" + arch);
  w.Field("name", base);
  w.Field("version", version);
  w.Field("arch", arch);
  w.Field("base", base);
  w.Field("kind", "base");
  w.Key("entry");
  w.BeginObject();
  w.Field("command", "/bin/true");
  w.EndObject();
  w.Key("runtime");
  w.BeginObject();
  w.Field("distro", "ubuntu");
  w.Field("version", "24.04");
  w.EndObject();
  w.EndObject();
  return w.Take();
}

bool MakePackage(const std::string& path, const std::string& manifest_json,
                 const std::map<std::string, std::string>& files) {
  util::Result<util::TempDir> dir = util::TempDir::Make("pkg-fixture-");
  if (!dir.ok()) return false;
  Spit(dir->path() + "/manifest.json", manifest_json);
  if (!util::EnsureDir(dir->path() + "/files").ok()) return false;
  for (const auto& [rel, content] : files) {
    std::string p = dir->path() + "/files/" + rel;
    if (!util::EnsureDir(util::DirName(p)).ok()) return false;
    Spit(p, content, util::HasSuffix(rel, ".sh") || rel.find("bin/") != std::string::npos ? 0755 : 0644);
  }
  return pkgfmt::CreateTarGz(dir->path(), path).ok();
}

bool MakeBasePackage(const std::string& path, const std::string& base, const std::string& arch,
                     const std::string& version, const std::string& rootfs_dir) {
  util::Result<util::TempDir> dir = util::TempDir::Make("pkg-fixture-");
  if (!dir.ok()) return false;
  Spit(dir->path() + "/manifest.json", BaseManifestJSON(base, arch, version));
  if (!util::EnsureDir(dir->path() + "/files").ok()) return false;
  RunResult r = Sh("tar --numeric-owner -cJf '" + dir->path() + "/files/rootfs.tar.xz' -C '" + rootfs_dir + "' .");
  if (r.status != 0) return false;
  return pkgfmt::CreateTarGz(dir->path(), path).ok();
}

RunResult CraftPackage(const std::string& path, const std::vector<CraftedMember>& members) {
  static const char kScript[] =
      "import io, sys, tarfile\n"
      "kinds = {'f': tarfile.REGTYPE, 'd': tarfile.DIRTYPE, 'h': tarfile.LNKTYPE, 'l': tarfile.SYMTYPE}\n"
      "a = sys.argv[2:]\n"
      "with tarfile.open(sys.argv[1], 'w:gz') as t:\n"
      "    for kind, name, value in zip(a[0::3], a[1::3], a[2::3]):\n"
      "        i = tarfile.TarInfo(name); i.type = kinds[kind]; i.mode = 0o755 if kind == 'd' else 0o644\n"
      "        data = value.encode() if kind == 'f' else None\n"
      "        if data is not None: i.size = len(data)\n"
      "        if kind in 'hl': i.linkname = value\n"
      "        t.addfile(i, io.BytesIO(data) if data is not None else None)\n";
  std::vector<std::string> argv = {"python3", "-c", kScript, path};
  for (const auto& m : members) {
    argv.push_back(std::string(1, m.kind));
    argv.push_back(m.name);
    argv.push_back(m.value);
  }
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  return RunArgv(argv, env);
}

}  // namespace e2e
