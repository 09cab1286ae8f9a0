// The "build" front end: reads the build flags, picks a base-layer or an
// application build and hands it to the builder.
#include <cstdio>
#include <string>

#include "internal/builder/builder.h"
#include "internal/cli/commands.h"
#include "internal/cli/flags.h"

namespace cli {

namespace {

// The builder's options plus what only the front end reads.
struct buildCLIOptions {
  builder::BuildOptions build;
  bool CreateBase = false;
  std::string RootfsPath;
  std::string SignKey;
};

constexpr const char* kBuildUsage[] = {
    "Usage: zol-cli build --from-deb <deb> | --from-rpm <rpm> | --from-dir <dir> [options]",
    "       zol-cli build --create-base --rootfs <path> --base <id> [--version <ver>] [--arch <arch>] "
    "[--output <dir>]",
    "Options:",
    "  --base <base>                 Base runtime (default: ubuntu24.04)",
    "  --id <id>                     Application ID (auto-generated if not set)",
    "  --command <cmd>               Entry command",
    "  --output <dir>                Output directory (default: ./dist)",
    "  --name <name>                 Application name",
    "  --version <ver>               Application version",
    "  --pip-bundle                  Bundle all Python deps into the .zol (self-contained)",
    "  --pip-package <pkg>           Override pip package name",
    "  --bundle-from-rootfs <path>   Source Python packages from runtime rootfs (recommended)",
    "  --pip-index-url <url>         pip mirror index URL",
    "  --pip-trusted-host <h>        pip trusted host for HTTP mirrors",
    "  --from-yum-pkg <name>         Download from yum/dnf repo and convert (KylinOS/UOS/RHEL/CentOS)",
    "  --yum-releasever <ver>        Override dnf --releasever",
    "  --create-base                 Package a rootfs directory as a distributable base .zol",
    "  --rootfs <path>               Source rootfs path (required with --create-base)",
    "  --arch <arch>                 Architecture of a base, a directory or an arch-independent package "
    "(default: host arch)",
    "  --sign <key>                  Sign the output .zol with private key file",
    "  --recipe <file>               zol-recipe.json for per-package build customizations",
};

void printBuildUsage() {
  for (const char* line : kBuildUsage) std::printf("%s\n", line);
}

// The record is bound to the flag set; both live in runBuild.
void parseBuildFlags(FlagSet& fs, buildCLIOptions& o) {
  fs.StringVar(&o.build.FromDeb, "from-deb", "", "Build from .deb package");
  fs.StringVar(&o.build.FromRPM, "from-rpm", "", "Build from .rpm package");
  fs.StringVar(&o.build.FromDir, "from-dir", "", "Build from directory");
  fs.BoolVar(&o.CreateBase, "create-base", false, "Create a base runtime .zol from a rootfs directory");
  fs.StringVar(&o.RootfsPath, "rootfs", "", "Source rootfs directory (for --create-base)");
  fs.StringVar(&o.build.Base, "base", "ubuntu24.04", "Base runtime (e.g., ubuntu22.04)");
  fs.StringVar(&o.build.Arch, "arch", "", "Architecture (default: host arch, e.g., x86_64)");
  fs.StringVar(&o.build.ID, "id", "", "Application ID");
  fs.StringVar(&o.build.Command, "command", "", "Entry command");
  fs.StringVar(&o.build.Output, "output", "./dist", "Output directory");
  fs.StringVar(&o.build.Name, "name", "", "Application name");
  fs.StringVar(&o.build.Version, "version", "", "Application version");
  fs.BoolVar(&o.build.PipBundle, "pip-bundle", false, "Bundle Python deps into files/site-packages/ (self-contained .zol)");
  fs.StringVar(&o.build.PipPackage, "pip-package", "", "Override pip package name (default: deb package name)");
  fs.StringVar(&o.build.BundleFromRootfs, "bundle-from-rootfs", "",
               "Source Python packages from this runtime rootfs (offline, correct Python version)");
  fs.StringVar(&o.build.PipIndexURL, "pip-index-url", "", "pip --index-url (e.g. internal mirror)");
  fs.StringVar(&o.build.PipTrustedHost, "pip-trusted-host", "", "pip --trusted-host for HTTP mirrors");
  fs.StringVar(&o.build.FromYumPkg, "from-yum-pkg", "",
               "Download from yum/dnf repo and convert to .zol (KylinOS/UOS/RHEL)");
  fs.StringVar(&o.build.YumReleasever, "yum-releasever", "", "Override dnf --releasever when downloading from yum repo");
  fs.StringVar(&o.SignKey, "sign", "", "Sign the output .zol with this private key file");
  fs.StringVar(&o.build.Recipe, "recipe", "", "Path to zol-recipe.json for per-package build customizations");
  fs.SetUsage(printBuildUsage);
}

util::Error executeBuild(const config::Config& cfg, const FlagSet& fs, const buildCLIOptions& o) {
  if (o.CreateBase) {
    if (o.RootfsPath.empty()) {
      fs.Usage();
      return util::Error::Msg("--rootfs is required with --create-base");
    }
    if (o.build.Base.empty()) {
      fs.Usage();
      return util::Error::Msg("--base is required with --create-base");
    }
    if (auto err = builder::BuildBaseZOL(o.RootfsPath, o.build.Base, o.build.Arch, o.build.Version, o.build.Output);
        !err.ok()) {
      return err.Wrap("build base failed");
    }
    std::printf("Base package build completed successfully.\n");
    return {};
  }
  if (o.build.FromDeb.empty() && o.build.FromRPM.empty() && o.build.FromDir.empty() && o.build.FromYumPkg.empty()) {
    fs.Usage();
    return util::Error::Msg("must specify one of --from-deb, --from-rpm, --from-yum-pkg, --from-dir, or --create-base");
  }
  // "--sign" is accepted but not carried: signing follows ZOL_SIGNING_KEY_PATH.
  builder::BuildOptions b = o.build;
  b.PipBundle = o.build.PipBundle || !o.build.BundleFromRootfs.empty();
  b.SigningKeyPath = cfg.SigningKeyPath;
  ZOL_TRY(builder::BuildZOL(std::move(b)), "build failed");
  std::printf("Build completed successfully.\n");
  return {};
}

}  // namespace

util::Error runBuild(const config::Config& cfg, const Args& args) {
  FlagSet fs("build");
  buildCLIOptions opts;
  parseBuildFlags(fs, opts);
  ZOL_TRY(fs.Parse(args), "parse build flags");
  return executeBuild(cfg, fs, opts);
}

}  // namespace cli
