// The Debian road: unpack the data member into a build directory, relocate
// the Debian layout into the application tree, add Python dependencies and
// the recipe, then generate the manifest and pack.
#include "internal/builder/deb_build.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "internal/builder/deb.h"
#include "internal/builder/pack.h"
#include "internal/builder/pam.h"
#include "internal/builder/python_deps.h"
#include "internal/builder/recipe.h"
#include "internal/builder/relocate.h"
#include "internal/builder/roads.h"
#include "internal/builder/validate.h"
#include "internal/util/dir_list.h"
#include "internal/util/files.h"
#include "internal/util/paths.h"
#include "internal/util/tempdir.h"

namespace builder {
namespace {

using util::Error;

Error Mkdir(const std::string& path, const char* context) {
  if (::mkdir(path.c_str(), 0755) != 0) return Error::Errno("mkdir", path, errno).Wrap(context);
  return {};
}

// The requirement words for pip: the package, then each recipe extra that
// does not already occur in it.
std::string PipRequirements(const BuildOptions& opts, const std::string& name, const ZolRecipe& recipe) {
  std::string reqs = opts.PipPackage.empty() ? name : opts.PipPackage;
  for (const std::string& extra : recipe.PipExtras) {
    if (reqs.find(extra) == std::string::npos) reqs += " " + extra;
  }
  return reqs;
}

// The executables a package puts in files/bin, in byte order: what a user
// most likely meant by the entry command.
std::vector<std::string> BinCandidates(const std::string& files) {
  const std::string bin = util::JoinPath(files, "bin");
  auto names = util::ListDir(bin, /*follow_last=*/false);
  std::vector<std::string> out;
  if (!names.ok()) return out;
  for (const std::string& n : *names) {
    struct stat st;
    if (::lstat(util::JoinPath(bin, n).c_str(), &st) != 0) continue;
    if (S_ISLNK(st.st_mode) || (S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0)) out.push_back("/app/bin/" + n);
  }
  return out;
}

// The default entry command names the package, but many programs are named
// otherwise (fd-find installs fdfind): say so now rather than at the first
// run, which fails with a bare "no such file or directory".
void WarnMissingDefaultCommand(const std::string& files, const std::string& name) {
  struct stat st;
  if (::lstat(util::JoinPath(files, "bin/" + name).c_str(), &st) == 0) return;
  std::vector<std::string> found = BinCandidates(files);
  std::string text = "  [warn] entry command /app/bin/" + name + " is not in the package; ";
  if (found.empty()) {
    text += "it has no executables in /app/bin";
  } else {
    text += "executables in /app/bin:";
    for (size_t i = 0; i < found.size(); ++i) text += (i == 0 ? " " : ", ") + found[i];
  }
  std::printf("%s\n  [warn] give the entry command with --command\n", text.c_str());
}

}  // namespace

std::string MapDebArch(const std::string& deb_arch) {
  if (deb_arch == "i386") return "i686";
  if (deb_arch == "amd64") return "x86_64";
  if (deb_arch == "arm64") return "aarch64";
  if (deb_arch == "armhf") return "armv7l";
  return deb_arch;
}

Error buildFromTarData(std::string_view data_tar, const std::string& name, const std::string& version,
                       const std::string& arch, BuildOptions opts) {
  const std::string id = opts.ID.empty() ? "com.calderim." + name : opts.ID;
  // Id, version and architecture may come from the control file; a name that
  // would put the package elsewhere, or that install would refuse, is
  // refused before any work.
  ZOL_ASSIGN_OR_RETURN(BuildStart build, StartBuild(opts.Output, id, version, arch, opts.Base, "zol-build-tar-"));
  const std::string& dir = build.tmp.path();
  const std::string& files = build.files;
  const std::string relocated = util::JoinPath(dir, "relocated");

  ZOL_TRY(extractDataTar(data_tar, files), "extract data");
  ZOL_TRY(Mkdir(relocated, "create relocated dir"));
  ZOL_TRY(relocateFiles(files, relocated), "relocate files");
  ZOL_TRY(util::RemoveAll(files), "remove original files dir");
  if (::rename(relocated.c_str(), files.c_str()) != 0) {
    return Error::Errno("rename", relocated + " " + files, errno).Wrap("rename relocated");
  }

  auto recipe = LoadRecipe(opts.Recipe);
  if (!recipe.ok()) return recipe.error().Wrap("load recipe");

  if (opts.PipBundle) {
    const std::string reqs = PipRequirements(opts, name, *recipe);
    const std::string site_packages = util::JoinPath(files, "site-packages");
    ZOL_TRY(Mkdir(site_packages, "create site-packages dir"));
    std::printf("Bundling Python dependencies: pip install %s --target %s\n", reqs.c_str(), site_packages.c_str());
    ZOL_TRY(pipBundlePackage(reqs, site_packages, opts), "pip bundle");
    patchPAMLibrary(site_packages, files, opts.BundleFromRootfs);
  }

  manifestParams p = AppParams(id, name, version, arch, opts.Base);
  p.Command = opts.Command.empty() ? "/app/bin/" + name : opts.Command;
  if (opts.Command.empty()) WarnMissingDefaultCommand(files, name);
  p.SourceType = "deb";
  p.OriginalPackage = opts.FromDeb;
  p.PipBundled = opts.PipBundle;
  pkgfmt::Manifest m = generateManifest(std::move(p));
  // Relocation puts a Debian package's Python modules (usr/lib/python3/
  // dist-packages) under lib: they are the package's own, so they come after
  // the entries every road names but before the base layer's.
  m.Runtime.Env["PYTHONPATH"] += ":/app/lib/python3/dist-packages";
  applyRecipePostBuild(*recipe, files, m);

  ZOL_TRY(writeBuildArtifacts(dir, opts.Output, m));
  return packZOL(dir, build.pkg_path, opts.SigningKeyPath);
}

Error buildFromDeb(BuildOptions opts) {
  auto pkg = ParseDeb(opts.FromDeb);
  if (!pkg.ok()) return pkg.error().Wrap("parse deb");
  const std::string name = opts.Name.empty() ? pkg->Control.Package : opts.Name;
  const std::string version = opts.Version.empty() ? pkg->Control.Version : opts.Version;
  std::string arch;
  if (pkg->Control.Architecture == "all") {
    ZOL_ASSIGN_OR_RETURN(arch, IndependentArch(opts.Arch));
  } else {
    arch = MapDebArch(pkg->Control.Architecture);
  }
  // The control member is no longer needed; only the data member is held
  // while it is unpacked.
  std::string().swap(pkg->ControlData);
  return buildFromTarData(pkg->DataTar, name, version, arch, std::move(opts));
}

}  // namespace builder
