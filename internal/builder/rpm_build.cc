// The RPM road, and the repository road that downloads an RPM for it.
//
// The payload lands under "files" at the RPM's own paths: no relocation, no
// recipe, no default entry command.
#include "internal/builder/rpm_build.h"


#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "internal/builder/builder.h"
#include "internal/builder/pack.h"
#include "internal/builder/roads.h"
#include "internal/builder/rpm.h"
#include "internal/builder/validate.h"
#include "internal/util/command_policy.h"
#include "internal/util/dir_list.h"
#include "internal/util/files.h"
#include "internal/util/paths.h"
#include "internal/util/process.h"
#include "internal/util/strings.h"
#include "internal/util/tempdir.h"

namespace builder {

namespace {

constexpr char kNoDownloader[] =
    "neither 'dnf' nor 'yumdownloader' found; install dnf-utils:\n"
    "  yum install -y dnf-utils\n"
    "  # or: dnf install -y dnf-utils";

// The names in `dir` that start with `prefix` and end in ".rpm", the two
// parts not overlapping, in byte order.
util::Result<std::vector<std::string>> MatchRPMs(const std::string& dir, const std::string& prefix) {
  ZOL_ASSIGN_OR_RETURN(auto names, util::ListDir(dir));
  std::vector<std::string> out;
  for (const std::string& n : names) {
    if (n.size() >= prefix.size() + 4 && util::HasPrefix(n, prefix) && util::HasSuffix(n, ".rpm")) {
      out.push_back(util::JoinPath(dir, n));
    }
  }
  return out;
}

}  // namespace

std::string mapRPMArch(const std::string& rpm_arch) {
  if (rpm_arch == "i386" || rpm_arch == "i686") return "i686";
  if (rpm_arch == "armv7l" || rpm_arch == "armv7hl") return "armv7l";
  // x86_64 and aarch64 map to themselves, like every value not named here.
  return rpm_arch;
}

util::Error validateYumPackageName(const std::string& name) {
  // A leading "-" would reach the downloader as an option, and a pattern
  // character would let the search for the download pick another package.
  if (util::HasPrefix(name, "-") || name.find_first_of("*?[\\") != std::string::npos) {
    return util::Error::Msg(util::Sprintf(
        "invalid package name %s: it may not begin with \"-\" or hold \"*\", \"?\", \"[\" or \"\\\"",
        util::Quote(name).c_str()));
  }
  return {};
}

util::Error downloadYumPackage(const std::string& name, const std::string& program,
                               const std::vector<std::string>& args) {
  ZOL_TRY(validateCommandBinary(program));
  ZOL_TRY(validateCommandArg(name));
  ZOL_TRY(validateYumPackageName(name));
  ZOL_TRY(validateCommandArgs(args));
  std::printf("  [yum] Downloading %s from yum repo...\n", name.c_str());

  util::Command cmd;
  cmd.path = program;
  cmd.args = args;
  cmd.stdin_mode = util::Stdio::kNull;
  if (auto err = util::RunProcess(cmd); !err.ok()) {
    return util::Error::WithCause(util::Sprintf("download %s: %s\n  Tip: verify the package exists: dnf list %s",
                                                name.c_str(), err.message().c_str(), name.c_str()),
                                  err);
  }
  return {};
}

util::Result<std::string> findDownloadedRPM(const std::string& dir, const std::string& name) {
  auto first = MatchRPMs(dir, name + "-");
  if (first.ok() && !first->empty()) return first->back();
  auto second = MatchRPMs(dir, name);
  if (!second.ok()) return second.error().Wrap("glob downloaded rpm");
  if (second->empty()) {
    std::string tried = util::JoinPath(dir, name + "-*.rpm");
    return util::Error::Msg(util::Sprintf("downloaded .rpm not found in %s (tried %s); check dnf output above",
                                          dir.c_str(), tried.c_str()));
  }
  return second->back();
}

util::Error buildFromRPM(BuildOptions opts) {
  auto meta = ParseRPMMeta(opts.FromRPM, /*with_files=*/false);
  if (!meta.ok()) return meta.error().Wrap("parse rpm");

  std::string name = opts.Name.empty() ? meta->Name : opts.Name;
  std::string version = opts.Version;
  if (version.empty()) version = meta->Release.empty() ? meta->Version : meta->Version + "-" + meta->Release;
  std::string arch;
  if (meta->Architecture == "noarch") {
    ZOL_ASSIGN_OR_RETURN(arch, IndependentArch(opts.Arch));
  } else {
    arch = mapRPMArch(meta->Architecture);
  }
  std::string id = opts.ID.empty() ? "com.calderim." + name : opts.ID;
  // Settled before the build directory exists, so a name that cannot be a
  // file name, or that install would refuse, costs no extraction.
  ZOL_ASSIGN_OR_RETURN(BuildStart build, StartBuild(opts.Output, id, version, arch, opts.Base, "zol-build-rpm-"));
  const std::string& dir = build.tmp.path();
  ZOL_TRY(ExtractRPM(opts.FromRPM, build.files), "extract rpm");

  manifestParams p = AppParams(id, name, version, arch, opts.Base);
  p.Command = opts.Command;
  p.SourceType = "rpm";
  p.OriginalPackage = opts.FromRPM;
  ZOL_TRY(writeBuildArtifacts(dir, opts.Output, generateManifest(std::move(p))));
  return packZOL(dir, build.pkg_path, opts.SigningKeyPath);
}

util::Error buildFromYumPkg(BuildOptions opts) {
  const std::string name = opts.FromYumPkg;
  std::string program;
  bool is_dnf = false;
  if (auto dnf = util::LookPath("dnf"); dnf.ok()) {
    program = *dnf;
    is_dnf = true;
  } else if (auto yd = util::LookPath("yumdownloader"); yd.ok()) {
    program = *yd;
  } else {
    return util::Error::Msg(kNoDownloader);
  }

  // The download gets a directory of its own: in a shared one, another
  // user's file or a stale download could be taken for it.
  auto tmp = util::TempDir::Make("zol-yum-");
  if (!tmp.ok()) return tmp.error().Wrap("create download dir");
  const std::string& dest = tmp->path();
  std::vector<std::string> args;
  if (is_dnf) {
    args = {"download", "--destdir", dest, name};
    if (!opts.YumReleasever.empty()) args.push_back("--releasever=" + opts.YumReleasever);
  } else {
    args = {"--destdir=" + dest, name};
  }
  ZOL_TRY(downloadYumPackage(name, program, args));

  auto rpm = findDownloadedRPM(dest, name);
  if (!rpm.ok()) return rpm.error();
  std::printf("  [yum] Downloaded: %s\n", rpm->c_str());
  opts.FromRPM = *rpm;
  ZOL_TRY(buildFromRPM(std::move(opts)));
  ZOL_TRY(tmp->Remove(), "remove downloaded rpm");
  return {};
}

}  // namespace builder
