// Paths beneath a directory whose contents came from a package.
//
// A package can hold symbolic links that make a name which looks harmless
// lead somewhere else, so nothing written or read under such a directory is
// opened by path. A Root holds the directory open once, and every relative
// path given to it is resolved beneath that descriptor: links are followed
// only while they stay inside, an absolute link or a ".." above the root
// fails with EXDEV ("invalid cross-device link"), and the last component is
// not followed unless asked. The kernel does this (openat2 with
// RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS); where openat2 is missing the same
// walk is done one component at a time with O_NOFOLLOW.
//
// Relative paths are not cleaned lexically: "a/l/.." means the parent of
// whatever a/l really is. "" and "." name the root itself. Errors read as the
// system's do: "op PATH: reason", PATH being the root's path joined with the
// relative one (PathOf).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "internal/util/error.h"
#include "internal/util/fd.h"

namespace util {

class Root {
 public:
  // Whether the last component of a path is followed when it is a link.
  enum class Follow { kNo, kYes };
  // kBeneath: an absolute link or a ".." above the root fails with EXDEV.
  // kInRoot: the directory is resolved as "/" is for a process chrooted
  // there (a tree that will become a root, whose absolute links mean places
  // in it): absolute links start again at the root, ".." of the root is the
  // root; and no mount point below the root is crossed (EXDEV), so nothing
  // mounted into the tree is reached through it.
  enum class Scope { kBeneath, kInRoot };

  // Opens `path` as the root. The path itself is the caller's choice and is
  // resolved normally; only what lies below it is contained.
  static Result<Root> Open(const std::string& path, Scope scope = Scope::kBeneath);
  // A root for the directory at `rel` beneath this one (links inside
  // followed), shown as PathOf(rel).
  Result<Root> Sub(std::string_view rel) const;

  Root(Root&&) noexcept = default;
  Root& operator=(Root&&) noexcept = default;
  Root(const Root&) = delete;
  Root& operator=(const Root&) = delete;

  const std::string& path() const { return path_; }
  int fd() const { return fd_.get(); }
  // The root's path joined with rel (not cleaned), as messages show it.
  std::string PathOf(std::string_view rel) const;

  // open(2) beneath the root; O_CLOEXEC is always added, `mode` is used with
  // O_CREAT. The last component is opened with O_NOFOLLOW unless `follow`:
  // with kNo an existing link there fails with ELOOP.
  Result<UniqueFd> OpenFile(std::string_view rel, int flags, mode_t mode = 0,
                            Follow follow = Follow::kNo) const;
  // The directory at rel, links inside followed (O_RDONLY | O_DIRECTORY).
  Result<UniqueFd> OpenDir(std::string_view rel) const;

  // One directory; fails with EEXIST when something is there.
  Error Mkdir(std::string_view rel, mode_t mode) const;
  // rel and its missing parents, each created with `mode`; ok when rel is
  // already a directory (or a link inside to one).
  Error MkdirAll(std::string_view rel, mode_t mode) const;
  // A link at rel holding `target` as given. "symlink TARGET PATH: reason".
  Error Symlink(std::string_view target, std::string_view rel) const;
  // A hard link new_rel to old_rel; a link at old_rel is linked itself, not
  // followed. "link OLD NEW: reason".
  Error Link(std::string_view old_rel, std::string_view new_rel) const;
  // rename(2) of old_rel to new_rel, both beneath. "rename OLD NEW: reason".
  Error Rename(std::string_view old_rel, std::string_view new_rel) const;

  Result<struct stat> Lstat(std::string_view rel) const;
  // stat following links, which must stay inside.
  Result<struct stat> Stat(std::string_view rel) const;
  Result<std::string> Readlink(std::string_view rel) const;
  // The whole content of the file at rel, links inside followed. More than
  // max_bytes fails with "read PATH: file larger than N bytes".
  Result<std::string> ReadFile(std::string_view rel, size_t max_bytes = SIZE_MAX) const;

  // Sets the mode exactly (no umask) through a descriptor; a link at rel is
  // refused (ELOOP), never followed.
  Error Chmod(std::string_view rel, mode_t mode) const;

  // Removes the file, link or empty directory at rel. "remove PATH: reason".
  Error Remove(std::string_view rel) const;
  // Removes rel and everything below it without following links; ok when
  // rel does not exist.
  Error RemoveAll(std::string_view rel) const;

  // Whether following rel, links included (the last one too), stays inside
  // the root (in the kBeneath sense). Components that do not exist are taken lexically, so a link
  // that would escape once a missing directory appears counts as escaping;
  // a link loop or a file in the middle leads nowhere and counts as inside.
  Result<bool> StaysInside(std::string_view rel) const;

 private:
  Root(UniqueFd fd, std::string path, bool in_root)
      : fd_(std::move(fd)), path_(std::move(path)), in_root_(in_root) {}
  UniqueFd fd_;
  std::string path_;
  bool in_root_ = false;
};

// Tests force the component-by-component walk even where openat2 exists.
void SetBeneathFallbackForTesting(bool on);
// True when paths are resolved by openat2 (not forced off, not ENOSYS).
bool BeneathUsesOpenat2();

}  // namespace util
