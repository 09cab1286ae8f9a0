#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "internal/cli/commands.h"
#include "internal/cli/flags.h"
#include "internal/cli/signing.h"
#include "internal/pkgfmt/archive.h"
#include "internal/pkgfmt/file_bytes.h"
#include "internal/pkgfmt/manifest.h"
#include "internal/pkgfmt/signature.h"
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
  auto fd = root.OpenFile(name, O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (!fd.ok()) return fd.error();
  ZOL_TRY(util::WriteAll(fd->get(), text, root.PathOf(name)));
  if (::close(fd->Release()) != 0) return util::Error::Errno("close", root.PathOf(name), errno);
  return util::Error();
}

// A new file beside the target, removed again unless Keep() is called.
class SiblingFile {
 public:
  static util::Result<SiblingFile> Make(const std::string& target) {
    std::string dir = util::DirName(target);
    std::string base = util::BaseName(target);
    for (int attempt = 0; attempt < 100; ++attempt) {
      uint32_t r = 0;
      if (getrandom(&r, sizeof r, 0) != sizeof r) r = static_cast<uint32_t>(random());
      std::string path = util::JoinPath(dir, "." + base + ".signing-" + std::to_string(r));
      int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (fd >= 0) {
        ::close(fd);
        return SiblingFile(path);
      }
      if (errno != EEXIST) return util::Error::Errno("open", path, errno);
    }
    return util::Error::Errno("open", util::JoinPath(dir, "." + base + ".signing-*"), EEXIST);
  }
  SiblingFile(SiblingFile&& o) noexcept : path_(std::move(o.path_)) { o.path_.clear(); }
  SiblingFile(const SiblingFile&) = delete;
  SiblingFile& operator=(const SiblingFile&) = delete;
  ~SiblingFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }
  void Keep() { path_.clear(); }

 private:
  explicit SiblingFile(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

}  // namespace

util::Error RepackPackage(const std::string& tree, const std::string& pkg_path) {
  std::string target = pkg_path;
  if (char* real = ::realpath(pkg_path.c_str(), nullptr)) {
    target = real;
    std::free(real);
  }
  struct stat old {};
  if (::stat(target.c_str(), &old) != 0) return util::Error::Errno("stat", pkg_path, errno);
  auto out = SiblingFile::Make(target);
  if (!out.ok()) return out.error();
  ZOL_TRY(pkgfmt::CreateTarGz(tree, out->path()));
  util::UniqueFd fd(::open(out->path().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return util::Error::Errno("open", out->path(), errno);
  struct stat now {};
  if (::fstat(fd.get(), &now) != 0) return util::Error::Errno("stat", out->path(), errno);
  // Owner before mode: a change of owner clears set-id bits.
  if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) && ::fchown(fd.get(), old.st_uid, old.st_gid) != 0) {
    return util::Error::Errno("chown", out->path(), errno);
  }
  if (::fchmod(fd.get(), old.st_mode & 07777) != 0) return util::Error::Errno("chmod", out->path(), errno);
  if (::fsync(fd.get()) != 0) return util::Error::Errno("sync", out->path(), errno);
  if (::rename(out->path().c_str(), target.c_str()) != 0) return util::Error::Errno("rename", target, errno);
  out->Keep();
  return util::Error();
}

util::Error signZOLFile(const std::string& pkg_path, const std::string& key_path) {
  auto tmp = util::TempDir::Make("zol-sign-");
  if (!tmp.ok()) return tmp.error().Wrap("temp dir");
  if (util::Error e = pkgfmt::ExtractTarGz(pkg_path, tmp->path()); !e.ok()) return e.Wrap("extract package");
  auto root = util::Root::Open(tmp->path());
  if (!root.ok()) return root.error().Wrap("read manifest");
  // The manifest's bytes are signed and packed back exactly as they are.
  auto manifest = pkgfmt::ReadFileBytesBeneath(*root, "manifest.json", pkgfmt::kMaxManifestBytes);
  if (!manifest.ok()) return manifest.error().Wrap("read manifest");
  auto sig = pkgfmt::SignManifest(key_path, *manifest);
  if (!sig.ok()) return sig.error().Wrap("sign manifest");
  if (util::Error e = WriteSignatureFile(*root, pkgfmt::EncodeSignature(*sig)); !e.ok()) {
    return e.Wrap("write signature.json");
  }
  return RepackPackage(tmp->path(), pkg_path);
}

util::Error runSign(const config::Config&, const Args& args) {
  FlagSet fs("sign");
  std::string key;
  fs.StringVar(&key, "key", "", "Path to private key (.key PEM file)");
  if (util::Error e = fs.Parse(args); !e.ok()) return e.Wrap("parse sign flags");
  if (key.empty()) return util::Error::Msg("--key is required");
  if (fs.Args().empty()) return util::Error::Msg("package path required");
  if (util::Error e = signZOLFile(fs.Args()[0], key); !e.ok()) return e.Wrap("sign failed");
  std::printf("Signed: %s\n", fs.Args()[0].c_str());
  return util::Error();
}

}  // namespace cli
