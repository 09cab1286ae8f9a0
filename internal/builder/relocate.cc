#include "internal/builder/relocate.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "internal/util/dir_list.h"
#include "internal/util/paths.h"
#include "internal/util/strings.h"

namespace builder {
namespace {

using util::Error;
using util::Root;

// The kernel reports a resolution that would leave the root as EXDEV, whose
// own text ("invalid cross-device link") would only puzzle the reader.
Error Contained(const Error& e, const Root& root, const std::string& rel) {
  if (!e.Is(EXDEV)) return e;
  return Error::Msg(root.PathOf(rel) + ": a symbolic link on the way leads out of the tree");
}

std::string Join(const std::string& a, const std::string& b) { return a.empty() || a == "." ? b : a + "/" + b; }

// rename(2) of one entry from beneath `src` to beneath `dst`. Only the parents
// are resolved (links inside followed); the last components are the entries
// themselves, as rename never follows them.
Error RenameAcross(const Root& src, const std::string& src_rel, const Root& dst, const std::string& dst_rel) {
  auto sp = src.OpenDir(util::DirName(src_rel));
  if (!sp.ok()) return Contained(sp.error(), src, src_rel);
  auto dp = dst.OpenDir(util::DirName(dst_rel));
  if (!dp.ok()) return Contained(dp.error(), dst, dst_rel);
  if (::renameat(sp->get(), util::BaseName(src_rel).c_str(), dp->get(), util::BaseName(dst_rel).c_str()) != 0) {
    return Error::Errno("rename", src.PathOf(src_rel) + " " + dst.PathOf(dst_rel), errno);
  }
  return {};
}

// A link at dst_rel with `text`, after whatever stood there (an empty
// directory at most) is gone.
Error ReplaceWithLink(const std::string& text, const Root& dst, const std::string& dst_rel) {
  auto dp = dst.OpenDir(util::DirName(dst_rel));
  if (!dp.ok()) return Contained(dp.error(), dst, dst_rel);
  const std::string base = util::BaseName(dst_rel);
  if (::unlinkat(dp->get(), base.c_str(), 0) != 0 && errno != ENOENT) {
    if ((errno != EISDIR && errno != EPERM) || ::unlinkat(dp->get(), base.c_str(), AT_REMOVEDIR) != 0) {
      return Error::Errno("remove", dst.PathOf(dst_rel), errno);
    }
  }
  if (::symlinkat(text.c_str(), dp->get(), base.c_str()) != 0) {
    return Error::Errno("symlink", text + " " + dst.PathOf(dst_rel), errno);
  }
  return {};
}

// Merges the directory src_rel into dst_rel, a directory before its contents,
// names in byte order.
Error MergeWalk(const Root& src, const std::string& src_rel, const Root& dst, const std::string& dst_rel,
                mode_t perm) {
  if (Error e = dst.MkdirAll(dst_rel, perm); !e.ok()) return Contained(e, dst, dst_rel);
  auto dir = src.OpenDir(src_rel);
  if (!dir.ok()) return dir.error();
  auto names = util::ListDir(dir->get(), src.PathOf(src_rel));
  if (!names.ok()) return names.error();
  for (const std::string& n : *names) {
    const std::string s = Join(src_rel, n), d = Join(dst_rel, n);
    auto st = src.Lstat(s);
    if (!st.ok()) return st.error();
    if (S_ISDIR(st->st_mode)) {
      ZOL_TRY(MergeWalk(src, s, dst, d, st->st_mode & 0777));
    } else if (S_ISLNK(st->st_mode)) {
      auto text = src.Readlink(s);
      if (!text.ok()) return text.error();
      ZOL_TRY(ReplaceWithLink(*text, dst, d));
    } else {
      ZOL_TRY(RenameAcross(src, s, dst, d));
    }
  }
  return {};
}

bool IsDir(const Root& root, const std::string& rel) {
  auto st = root.Lstat(rel);
  return st.ok() && S_ISDIR(st->st_mode);
}

// Destinations of the directories at the top and in "usr"; "" sends a
// directory under "rootfs-overlay".
std::string TopDest(const std::string& name) {
  if (name == "bin" || name == "sbin") return "bin";
  if (name == "lib" || name == "lib64") return "lib";
  if (name == "share" || name == "etc" || name == "app") return name;
  return "";
}

std::string UsrDest(const std::string& name) {
  if (name == "bin" || name == "sbin") return "bin";
  if (name == "lib" || name == "lib64") return "lib";
  if (name == "share") return "share";
  return "";
}

Error relocateUSRDir(const Root& src, const Root& dst) {
  auto dir = src.OpenDir("usr");
  if (!dir.ok()) return dir.error().Wrap("read usr dir");
  auto names = util::ListDir(dir->get(), src.PathOf("usr"));
  if (!names.ok()) return names.error().Wrap("read usr dir");
  for (const std::string& n : *names) {
    const std::string s = "usr/" + n;
    if (!IsDir(src, s)) continue;
    const std::string to = UsrDest(n);
    if (to.empty()) {
      if (Error e = mergeDir(src, s, dst, "rootfs-overlay/usr/" + n); !e.ok()) {
        return e.Wrap(util::Sprintf("move overlay usr/%s", n.c_str()));
      }
    } else if (Error e = mergeDir(src, s, dst, to); !e.ok()) {
      return e.Wrap(util::Sprintf("move usr/%s -> %s", n.c_str(), dst.PathOf(to).c_str()));
    }
  }
  return {};
}

Error relocateSingleEntry(const std::string& name, const Root& src, const Root& dst) {
  if (!IsDir(src, name)) return {};
  if (name == "usr") return relocateUSRDir(src, dst);
  const std::string to = TopDest(name);
  if (!to.empty()) {
    if (Error e = mergeDir(src, name, dst, to); !e.ok()) {
      return e.Wrap(util::Sprintf("move %s -> %s", src.PathOf(name).c_str(), dst.PathOf(to).c_str()));
    }
    return {};
  }
  if (Error e = dst.MkdirAll("rootfs-overlay", 0755); !e.ok()) {
    return Contained(e, dst, "rootfs-overlay").Wrap("mkdir overlay");
  }
  const std::string overlay = "rootfs-overlay/" + name;
  if (Error e = mergeDir(src, name, dst, overlay); !e.ok()) {
    return e.Wrap(util::Sprintf("move overlay %s -> %s", src.PathOf(name).c_str(), dst.PathOf(overlay).c_str()));
  }
  return {};
}

}  // namespace

Error mergeDir(const Root& src, const std::string& src_rel, const Root& dst, const std::string& dst_rel) {
  if (Error e = dst.MkdirAll(util::DirName(dst_rel), 0755); !e.ok()) return Contained(e, dst, dst_rel);
  auto there = dst.Lstat(dst_rel);
  if (!there.ok()) {
    if (!there.error().Is(ENOENT)) return Contained(there.error(), dst, dst_rel);
    return RenameAcross(src, src_rel, dst, dst_rel);
  }
  auto st = src.Lstat(src_rel);
  if (!st.ok()) return st.error();
  return MergeWalk(src, src_rel, dst, dst_rel, st->st_mode & 0777);
}

Error relocateFiles(const std::string& extracted, const std::string& relocated) {
  auto src = Root::Open(extracted);
  if (!src.ok()) return src.error().Wrap("read dir " + extracted);
  auto dst = Root::Open(relocated);
  if (!dst.ok()) return dst.error();
  auto names = util::ListDir(src->fd(), extracted);
  if (!names.ok()) return names.error().Wrap("read dir " + extracted);
  for (const std::string& n : *names) ZOL_TRY(relocateSingleEntry(n, *src, *dst));
  return {};
}

}  // namespace builder
