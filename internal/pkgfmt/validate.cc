#include "internal/pkgfmt/validate.h"

#include <sys/stat.h>

#include "internal/pkgfmt/archive.h"
#include "internal/pkgfmt/manifest.h"
#include "internal/util/beneath.h"
#include "internal/util/paths.h"
#include "internal/util/tempdir.h"

namespace pkgfmt {

util::Error ValidateZOL(const std::string& path) {
  if (!util::HasSuffix(path, ".zol")) return util::Error::Msg("not a .zol file: " + path);
  auto tmp = util::TempDir::Make("zol-validate-");
  if (!tmp.ok()) return tmp.error().Wrap("create temp dir");
  ZOL_TRY(ExtractTarGz(path, tmp->path()), "extract zol");
  auto root = util::Root::Open(tmp->path());
  if (!root.ok()) return root.error().Wrap("read manifest");
  auto data = root->ReadFile("manifest.json", kMaxManifestBytes);
  if (!data.ok()) return data.error().Wrap("read manifest");
  auto manifest = ParseManifest(*data);
  if (!manifest.ok()) return manifest.error().Wrap("parse manifest");
  // A link to a directory counts, as long as it stays inside the package.
  auto st = root->Stat("files");
  if (!st.ok() || !S_ISDIR(st->st_mode)) return util::Error::Msg("missing files directory in package");
  return util::Error();
}

}  // namespace pkgfmt
