#include "internal/builder/builder.h"

#include "internal/builder/base_build.h"
#include "internal/builder/interrupt.h"
#include "internal/builder/roads.h"
#include "internal/builder/validate.h"
#include "internal/util/paths.h"

namespace builder {

namespace {

util::Error buildZOLImpl(BuildOptions opts) {
  if (!opts.FromDeb.empty()) return buildFromDeb(std::move(opts));
  if (!opts.FromRPM.empty()) return buildFromRPM(std::move(opts));
  if (!opts.FromYumPkg.empty()) return buildFromYumPkg(std::move(opts));
  // BaseName ignores trailing slashes, so ./tools/ is named tools.
  if (opts.Name.empty()) opts.Name = util::BaseName(opts.FromDir);
  if (opts.Version.empty()) opts.Version = "1.0.0";
  ZOL_ASSIGN_OR_RETURN(const std::string arch, IndependentArch(opts.Arch));
  return BuildFromDir(opts.FromDir, opts.Output, opts.ID, opts.Name, opts.Version, arch, opts.Base,
                      opts.Command, opts.SigningKeyPath);
}

}  // namespace

util::Error BuildZOL(BuildOptions opts) {
  return RunTrappingSignals([&] { return buildZOLImpl(std::move(opts)); });
}

util::Error BuildBaseZOL(const std::string& rootfs, const std::string& base, const std::string& arch,
                         const std::string& version, const std::string& output) {
  return RunTrappingSignals([&] { return buildBaseZOLImpl(rootfs, base, arch, version, output); });
}

}  // namespace builder
