// The directory road: a plain tree copied under "files", every symbolic link
// replaced by the file it points to.
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "internal/builder/builder.h"
#include "internal/builder/pack.h"
#include "internal/builder/validate.h"
#include "internal/util/beneath.h"
#include "internal/util/copy_tree.h"
#include "internal/util/files.h"
#include "internal/util/paths.h"
#include "internal/util/strings.h"
#include "internal/util/tempdir.h"

namespace builder {

namespace {

const char* KindName(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFIFO: return "named pipe";
    case S_IFSOCK: return "socket";
    case S_IFCHR: return "character device";
    case S_IFBLK: return "block device";
    default: return "special file";
  }
}

// Every link is replaced by the file it names; the build directory is left
// out, for a source that holds the temporary directory.
util::Error CopySource(const std::string& src, const std::string& files, const struct stat& skip) {
  ZOL_ASSIGN_OR_RETURN(util::Root root, util::Root::Open(files));
  util::CopyTreeOptions options;
  options.follow_links = true;
  options.skip_dir = [&](const struct stat& st) { return st.st_dev == skip.st_dev && st.st_ino == skip.st_ino; };
  options.refuse = [](const std::string& path, mode_t mode) {
    return util::Error::Msg(util::Sprintf("cannot copy %s: it is a %s", path.c_str(), KindName(mode)));
  };
  return util::CopyTree(src, root, options);
}

}  // namespace

util::Error BuildFromDir(const std::string& src, const std::string& output, const std::string& id_in,
                         const std::string& name, const std::string& version, const std::string& arch,
                         const std::string& base, const std::string& command,
                         const std::string& signing_key_path) {
  struct stat st;
  if (::stat(src.c_str(), &st) != 0 && errno == ENOENT) {
    return util::Error::Msg(util::Sprintf("source directory %s does not exist", src.c_str()));
  }
  std::string id = id_in.empty() ? "com.calderim." + name : id_in;
  // The file name is settled before any work, so a bad name writes nothing.
  ZOL_ASSIGN_OR_RETURN(BuildStart build, StartBuild(output, id, version, arch, base, "zol-build-dir-"));
  const std::string& dir = build.tmp.path();
  const std::string& files = build.files;
  struct stat self;
  if (::lstat(dir.c_str(), &self) != 0) return util::Error::Errno("stat", dir, errno).Wrap("create temp build dir");
  ZOL_TRY(CopySource(src, files, self), "copy files");

  manifestParams p = AppParams(id, name, version, arch, base);
  p.Command = command;
  p.SourceType = "dir";
  p.OriginalPackage = "manual";
  p.Description = src;
  ZOL_TRY(writeZOLManifest(dir, generateManifest(std::move(p))));
  ZOL_TRY(util::MkdirAll(output, 0755), "create output dir");
  ZOL_TRY(packZOL(dir, build.pkg_path, signing_key_path), "pack zol");
  return {};
}

}  // namespace builder
