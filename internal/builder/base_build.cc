// Base-layer packages: a whole root filesystem packed by the system tar into
// one xz member, with a manifest of kind "base" and a placeholder signature.
#include "internal/builder/base_build.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "internal/builder/validate.h"
#include "internal/builder/zol_archive.h"
#include "internal/pkgfmt/extract.h"
#include "internal/pkgfmt/pack_tree.h"
#include "internal/util/files.h"
#include "internal/util/json_writer.h"
#include "internal/util/paths.h"
#include "internal/util/process.h"
#include "internal/util/strings.h"
#include "internal/util/tempdir.h"
#include "internal/util/xz_env.h"

namespace builder {

namespace {

// Written as a constant: the embedded-signature check refuses its algorithm,
// so a base package never passes for a signed one.
constexpr std::string_view kPlaceholderSignature =
    R"({"algorithm":"sha256","hash":"placeholder","signer":"zol-build"})";

}  // namespace

std::string baseManifestJSON(const std::string& base, const std::string& arch, const std::string& version) {
  // A generic map: every object's keys in sorted order.
  util::JsonWriter w("  ");
  w.BeginObject();
  w.Field("arch", arch);
  w.Field("base", base);
  w.Key("build");
  w.BeginObject();
  w.Field("source_type", "rootfs");
  w.EndObject();
  w.Field("description",
          util::Sprintf("Base runtime layer for zol applications (%s %s). Extracted to "
                        "/opt/zol/runtimes/%s-%s/rootfs/ on install.",
                        base.c_str(), arch.c_str(), base.c_str(), arch.c_str()));
  w.Key("entry");
  w.BeginObject();
  w.Field("args", std::vector<std::string>{});
  w.Field("command", "/bin/true");
  w.EndObject();
  w.Field("id", util::Sprintf("com.calderim.base.%s-%s", base.c_str(), arch.c_str()));
  w.Field("kind", "base");
  w.Field("name", base + " Base Runtime");
  w.Key("permissions");
  w.BeginObject();
  w.Key("filesystem");
  w.BeginObject();
  w.EndObject();
  w.Field("network", false);
  w.EndObject();
  w.Key("runtime");
  w.BeginObject();
  w.Field("distro", "ubuntu");
  w.Key("env");
  w.BeginObject();
  w.EndObject();
  w.Field("version", "24.04");
  w.EndObject();
  w.Field("version", version);
  w.EndObject();
  return w.Take();
}

util::Error runTarCommand(const std::string& out_path, const std::string& src_dir, bool with_attributes) {
  std::vector<std::string> args;
  if (with_attributes) args = {"--xattrs", "--acls"};
  // Owners stay numbers: a root filesystem's users are not the build host's.
  for (const char* a : {"--numeric-owner", "-cJf"}) args.emplace_back(a);
  args.insert(args.end(), {out_path, "-C", src_dir, "."});
  ZOL_TRY(validateCommandArgs(args));
  util::Command cmd;
  cmd.path = "tar";
  cmd.args = std::move(args);
  cmd.env = util::ParallelXzEnviron();
  cmd.stdin_mode = util::Stdio::kNull;
  return util::RunProcess(cmd);
}

util::Error buildBaseZOLImpl(const std::string& rootfs, const std::string& base, const std::string& arch_in,
                             const std::string& version_in, const std::string& output) {
  // Install refuses every other architecture; stop before packing gigabytes.
  ZOL_ASSIGN_OR_RETURN(const std::string arch, IndependentArch(arch_in));
  std::string version = version_in.empty() ? "1.0.0" : version_in;
  std::string id = util::Sprintf("com.calderim.base.%s-%s", base.c_str(), arch.c_str());
  auto pkg_path = PackagePath(output, id, version, arch);
  if (!pkg_path.ok()) return pkg_path.error();
  ZOL_TRY(CheckInstallNames(id, version, base, true));

  std::string abs_rootfs = util::AbsPath(rootfs);
  struct stat st;
  if (::stat(abs_rootfs.c_str(), &st) != 0 && errno == ENOENT) {
    return util::Error::Msg("rootfs not found: " + abs_rootfs);
  }

  auto tmp = util::TempDir::Make("zol-base-build-");
  if (!tmp.ok()) return tmp.error().Wrap("create temp dir");
  const std::string& dir = tmp->path();
  std::string files_dir = util::JoinPath(dir, "files");
  if (::mkdir(files_dir.c_str(), 0755) != 0) {
    return util::Error::Errno("mkdir", files_dir, errno).Wrap("create files dir");
  }
  std::string tarball = util::JoinPath(files_dir, "rootfs.tar.xz");
  ZOL_TRY(validateFilesystemPath(abs_rootfs));
  ZOL_TRY(validateFilesystemPath(tarball));

  std::printf("  [base] Packing rootfs from %s (this may take several minutes)...\n", abs_rootfs.c_str());
  if (!runTarCommand(tarball, abs_rootfs, true).ok()) {
    std::printf("  [base] Retrying without xattrs (older tar)...\n");
    // The first run may have left a partial archive; tar truncates it.
    ZOL_TRY(runTarCommand(tarball, abs_rootfs, false), "pack rootfs");
  }
  // Install's extractor refuses a member this large: a package it cannot
  // take is no success.
  if (::stat(tarball.c_str(), &st) != 0) return util::Error::Errno("stat", tarball, errno).Wrap("pack rootfs");
  if (st.st_size > pkgfmt::kMaxExtractFileSize) {
    return pkgfmt::ErrMemberTooLarge("files/rootfs.tar.xz").Wrap("pack rootfs");
  }

  ZOL_TRY(util::WriteFile(util::JoinPath(dir, "manifest.json"), baseManifestJSON(base, arch, version), 0644,
                          O_NOFOLLOW),
          "write manifest");
  ZOL_TRY(util::WriteFile(util::JoinPath(dir, "signature.json"), kPlaceholderSignature, 0644, O_NOFOLLOW),
          "write signature");
  ZOL_TRY(util::MkdirAll(output, 0755), "create output dir");

  std::printf("  [base] Creating base package %s...\n", pkg_path->c_str());
  ZOL_TRY(pkgfmtCreateTarGz(dir, *pkg_path), "create package");

  if (::stat(pkg_path->c_str(), &st) != 0) {
    return util::Error::Errno("stat", *pkg_path, errno).Wrap("stat output file");
  }
  std::printf("  [base] Done: %s (%lldMB)\n", pkg_path->c_str(),
              static_cast<long long>(st.st_size / 1024 / 1024));
  return {};
}

}  // namespace builder
