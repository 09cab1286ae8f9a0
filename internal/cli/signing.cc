#include "internal/cli/signing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "internal/pkgfmt/extract.h"
#include "internal/pkgfmt/pack_tree.h"
#include "internal/pkgfmt/manifest.h"
#include "internal/pkgfmt/signature.h"
#include "internal/util/atomic_file.h"
#include "internal/util/beneath.h"
#include "internal/util/fd.h"
#include "internal/util/files.h"
#include "internal/util/paths.h"
#include "internal/util/tempdir.h"

namespace cli {
namespace {

// The package decides what stands at "signature.json" in the tree. Writing
// into whatever is there would follow a link or truncate a hard link shared
// with "manifest.json", so the old entry is removed and a new file created.
util::Error WriteSignatureFile(const util::Root& root, const std::string& text) {
  const std::string name = pkgfmt::kSignatureFileName;
  auto st = root.Lstat(name);
  if (st.ok()) {
    if (S_ISDIR(st->st_mode)) return util::Error::Errno("open", root.PathOf(name), EISDIR);
    ZOL_TRY(root.Remove(name));
  }
  ZOL_ASSIGN_OR_RETURN(util::UniqueFd fd, root.OpenFile(name, O_WRONLY | O_CREAT | O_EXCL, 0644));
  return util::WriteAndClose(std::move(fd), text, root.PathOf(name));
}

}  // namespace

util::Error RepackPackage(const std::string& tree, const std::string& pkg_path) {
  std::string target = pkg_path;
  if (char* real = ::realpath(pkg_path.c_str(), nullptr)) {
    target = real;
    std::free(real);
  }
  struct stat old {};
  if (::stat(target.c_str(), &old) != 0) return util::Error::Errno("stat", pkg_path, errno);
  ZOL_ASSIGN_OR_RETURN(util::AtomicFile out, util::AtomicFile::Create(target, 0600));
  ZOL_TRY(pkgfmt::CreateTarGz(tree, out.temp_path()));
  struct stat now {};
  if (::fstat(out.fd(), &now) != 0) return util::Error::Errno("stat", out.temp_path(), errno);
  // Owner before mode: a change of owner clears set-id bits.
  if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) && ::fchown(out.fd(), old.st_uid, old.st_gid) != 0) {
    return util::Error::Errno("chown", out.temp_path(), errno);
  }
  if (::fchmod(out.fd(), old.st_mode & 07777) != 0) return util::Error::Errno("chmod", out.temp_path(), errno);
  return out.Commit();
}

util::Error signZOLFile(const std::string& pkg_path, const std::string& key_path) {
  auto tmp = util::TempDir::Make("zol-sign-");
  if (!tmp.ok()) return tmp.error().Wrap("temp dir");
  ZOL_TRY(pkgfmt::ExtractTarGz(pkg_path, tmp->path()), "extract package");
  auto root = util::Root::Open(tmp->path());
  if (!root.ok()) return root.error().Wrap("read manifest");
  // The manifest's bytes are signed and packed back exactly as they are.
  auto manifest = root->ReadFile("manifest.json", pkgfmt::kMaxManifestBytes);
  if (!manifest.ok()) return manifest.error().Wrap("read manifest");
  auto sig = pkgfmt::SignManifest(key_path, *manifest);
  if (!sig.ok()) return sig.error().Wrap("sign manifest");
  if (util::Error e = WriteSignatureFile(*root, pkgfmt::EncodeSignature(*sig)); !e.ok()) {
    return e.Wrap("write signature.json");
  }
  return RepackPackage(tmp->path(), pkg_path);
}

util::Error verifyZOLFile(const std::string& pkg_path, const std::string& trusted_keys_dir, bool* had_signature) {
  auto tmp = util::TempDir::Make("zol-verify-");
  if (!tmp.ok()) return tmp.error().Wrap("temp dir");
  ZOL_TRY(pkgfmt::ExtractTarGz(pkg_path, tmp->path()), "extract package");
  ZOL_TRY(pkgfmt::VerifyPackageSignature(tmp->path(), trusted_keys_dir));
  if (had_signature != nullptr) {
    // The check passed; it read a record unless there was none to read.
    auto root = util::Root::Open(tmp->path());
    *had_signature = root.ok() && root->Lstat(pkgfmt::kSignatureFileName).ok();
  }
  return util::Error();
}

}  // namespace cli
