#include "internal/pkgfmt/validate.h"

#include <sys/stat.h>

#include <cerrno>

#include "internal/util/beneath.h"
#include "internal/util/paths.h"
#include "internal/util/tempdir.h"

namespace pkgfmt {

util::Error CheckZOLName(const std::string& path) {
  if (!util::HasSuffix(path, ".zol")) return util::Error::Msg("not a .zol file: " + path);
  return util::Error();
}

util::Result<ValidatedZOL> ReadZOLManifest(const std::string& dir) {
  ZOL_ASSIGN_OR_RETURN(util::Root root, util::Root::Open(dir), "read manifest");
  ZOL_ASSIGN_OR_RETURN(std::string data, root.ReadFile("manifest.json", kMaxManifestBytes), "read manifest");
  ZOL_ASSIGN_OR_RETURN(Manifest manifest, ParseManifest(data), "parse manifest");
  return ValidatedZOL{std::move(manifest), std::move(data)};
}

util::Error CheckFilesDir(const std::string& dir) {
  ZOL_ASSIGN_OR_RETURN(util::Root root, util::Root::Open(dir));
  // A link to a directory counts, as long as it stays inside the package.
  auto st = root.Stat("files");
  // Only an absent "files" is a package without one; any other failure to
  // look is reported as it is.
  if (!st.ok() && !st.error().Is(ENOENT) && !st.error().Is(ENOTDIR)) return st.error();
  if (!st.ok() || !S_ISDIR(st->st_mode)) return util::Error::Msg("missing files directory in package");
  return util::Error();
}

util::Result<ValidatedZOL> ExtractValidZOL(const std::string& path, const std::string& dir,
                                           const ExtractOptions& options) {
  ZOL_TRY(ExtractTarGz(path, dir, options), "extract zol");
  ZOL_ASSIGN_OR_RETURN(ValidatedZOL checked, ReadZOLManifest(dir));
  ZOL_TRY(CheckFilesDir(dir));
  return checked;
}

util::Error ValidateZOL(const std::string& path) {
  ZOL_TRY(CheckZOLName(path));
  auto tmp = util::TempDir::Make("zol-validate-");
  if (!tmp.ok()) return tmp.error().Wrap("create temp dir");
  return ExtractValidZOL(path, tmp->path(), ExtractOptions()).error();
}

}  // namespace pkgfmt
