// Copying a tree, or one file, into a directory held as a util::Root: what is
// written never leaves that directory, whatever links stand in it. The tree
// is read by path and its links may be followed out of it, which suits the
// builder's inputs; an unpacked package is copied by cli::copyDirN instead,
// read only beneath its own root (see there why it stays apart).
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>
#include <string_view>

#include "internal/util/beneath.h"
#include "internal/util/error.h"

namespace util {

// The error for a source that is neither a regular file nor a directory (nor,
// where links are kept, a link), given its path as shown and its mode. Only
// regular files are read: a pipe, a socket or a device would block the copy
// or never end.
using CopyRefusal = std::function<Error(const std::string& src, mode_t mode)>;

struct CopyTreeOptions {
  // A link in the source is recreated with its own text (whatever stood at
  // its place goes first), or, when followed, replaced by a copy of the file
  // it names, created with the link's own bits (0777 less the umask), never
  // the target's; a followed link to a directory fails as reading a
  // directory does ("read SRC: is a directory").
  bool follow_links = false;
  // The permission bits a directory keeps of its source's.
  mode_t dir_bits = 07777;
  // True for a directory to leave out with its contents (the copy's own
  // destination inside the source, say); given the directory's lstat.
  std::function<bool(const struct stat&)> skip_dir;
  // Empty: "copy SRC: not a regular file".
  CopyRefusal refuse;
};

// Copies what lies below `src` (followed when it is itself a link) into the
// directory `dst`, in walk order: each directory before its contents, names
// in byte order. Links below src are never followed unless the options say
// so; directories are made with their source's bits (an existing one is
// kept), files as CopyFileInto makes them. The first failure ends the copy:
// "lstat", "open" or "read SRC: reason", "mkdir", "open", "write" or "close
// DST: reason".
Error CopyTree(const std::string& src, const Root& dst, const CopyTreeOptions& options = {});

// Copies the regular file reached through `src` (links followed) to `rel`
// beneath `dst`, created with src's permission bits (less the umask) or
// truncated. The last component of rel is followed only when `follow`, and
// then only while it stays beneath dst. `refuse` as in CopyTreeOptions.
Error CopyFileInto(const std::string& src, const Root& dst, std::string_view rel,
                   Root::Follow follow = Root::Follow::kNo, const CopyRefusal& refuse = nullptr);

}  // namespace util
