#include "internal/util/copy_tree.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "internal/util/dir_list.h"
#include "internal/util/fd.h"
#include "internal/util/files.h"
#include "internal/util/paths.h"

namespace util {

namespace {

Error Refuse(const CopyRefusal& refuse, const std::string& src, mode_t mode) {
  if (refuse) return refuse(src, mode);
  return Error::Msg("copy " + src + ": not a regular file");
}

// CopyFileInto, the file created with `mode`, or with the source's bits for
// kSourceBits.
constexpr mode_t kSourceBits = static_cast<mode_t>(-1);
Error CopyRegular(const std::string& src, const Root& dst, std::string_view rel, Root::Follow follow,
                  const CopyRefusal& refuse, mode_t mode);

// A copy that holds no descriptor between directories, so no tree is too deep
// for the descriptor limit.
class TreeCopy {
 public:
  TreeCopy(const Root& dst, const CopyTreeOptions& options) : dst_(dst), options_(options) {}

  Error Level(const std::string& path, const std::string& rel) {
    Result<std::vector<std::string>> names = ListDir(path, /*follow_last=*/rel.empty());
    if (!names.ok()) return names.error();
    for (const std::string& n : *names) {
      const std::string child = path + "/" + n;
      const std::string child_rel = rel.empty() ? n : rel + "/" + n;
      struct stat st;
      if (::lstat(child.c_str(), &st) != 0) return Error::Errno("lstat", child, errno);
      if (S_ISDIR(st.st_mode)) {
        if (options_.skip_dir && options_.skip_dir(st)) continue;
        ZOL_TRY(dst_.MkdirAll(child_rel, st.st_mode & options_.dir_bits));
        ZOL_TRY(Level(child, child_rel));
      } else if (S_ISLNK(st.st_mode) && !options_.follow_links) {
        ZOL_TRY(Relink(child, child_rel));
      } else if (S_ISLNK(st.st_mode)) {
        // The copy takes the link's own bits, never its target's: a link to
        // /usr/bin/passwd must not bring a setuid file into the tree.
        ZOL_TRY(CopyRegular(child, dst_, child_rel, Root::Follow::kNo, options_.refuse, st.st_mode & 0777));
      } else {
        ZOL_TRY(CopyFileInto(child, dst_, child_rel, Root::Follow::kNo, options_.refuse));
      }
    }
    return Error();
  }

 private:
  Error Relink(const std::string& src, const std::string& rel) {
    char buf[PATH_MAX];
    ssize_t n = ::readlink(src.c_str(), buf, sizeof buf);
    if (n < 0) return Error::Errno("readlink", src, errno);
    if (Error e = dst_.Remove(rel); !e.ok() && !e.Is(ENOENT)) return e;
    return dst_.Symlink(std::string_view(buf, static_cast<size_t>(n)), rel);
  }

  const Root& dst_;
  const CopyTreeOptions& options_;
};

}  // namespace

Error CopyTree(const std::string& src, const Root& dst, const CopyTreeOptions& options) {
  // A trailing slash would show twice in the paths below.
  const std::string top = src.size() > 1 && src.back() == '/' ? CleanPath(src) : src;
  return TreeCopy(dst, options).Level(top, "");
}

namespace {

Error CopyRegular(const std::string& src, const Root& dst, std::string_view rel, Root::Follow follow,
                  const CopyRefusal& refuse, mode_t mode) {
  struct stat st;
  if (::stat(src.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
    return Refuse(refuse, src, st.st_mode);
  }
  // O_NONBLOCK keeps a pipe swapped in after the check from blocking the open.
  UniqueFd in(::open(src.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!in.valid()) return Error::Errno("open", src, errno);
  if (::fstat(in.get(), &st) != 0) return Error::Errno("stat", src, errno);
  if (S_ISDIR(st.st_mode)) return Error::Errno("read", src, EISDIR);
  if (!S_ISREG(st.st_mode)) return Refuse(refuse, src, st.st_mode);
  ZOL_ASSIGN_OR_RETURN(UniqueFd out, dst.OpenFile(rel, O_WRONLY | O_CREAT | O_TRUNC, mode == kSourceBits ? st.st_mode & 07777 : mode, follow));
  const std::string shown = dst.PathOf(rel);
  ZOL_TRY(CopyBytes(in.get(), src, out.get(), shown));
  if (::close(out.Release()) != 0) return Error::Errno("close", shown, errno);
  return Error();
}

}  // namespace

Error CopyFileInto(const std::string& src, const Root& dst, std::string_view rel, Root::Follow follow,
                   const CopyRefusal& refuse) {
  return CopyRegular(src, dst, rel, follow, refuse, kSourceBits);
}

}  // namespace util
