// Putting a finished tree in the place of another so that the place always
// holds one whole tree, and taking back a tree that was set aside when that
// fails.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "internal/util/error.h"

namespace util {

// Moves the tree at `path` in one rename into a directory made fresh for it
// beside it (`path`, `infix` and six random characters), as `leaf`, so that
// `path` holds the whole tree or nothing. Returns the tree's new path, or ""
// when nothing is at `path`.
Result<std::string> SetAside(const std::string& path, std::string_view infix, const std::string& leaf);

// Renames the tree at `path` to `prefix` followed by six random characters
// (on the same file system), never over anything, and returns that name (""
// when nothing is at `path`). Unlike SetAside it makes no directory, so it
// needs no free space.
Result<std::string> MoveAside(const std::string& path, const std::string& prefix);

struct ReplaceTreeOptions {
  // Names the holder of the replaced tree when it has to be set aside.
  std::string_view infix = {};
  std::string leaf = "old";
  // Exchange both trees in one step where the file system can, leaving the
  // old one at the staging path.
  bool exchange = true;
  // Wrapped around a failure to put the new tree in place, and around a
  // failure to set the old one aside.
  std::string commit_context = {};
  std::string aside_context = {};
  // The renames (flags as for renameat2); tests put failures in here.
  std::function<int(const char* from, const char* to, unsigned flags)> rename = {};
};

// Puts the tree at `staging` at `target`. When `target` held a tree, it is
// either exchanged with the new one or set aside and, when the new one cannot
// take its place, moved back; `target` never stays empty because of a failed
// replacement. Returns what the caller should remove once it is done: the
// replaced tree (the staging path after an exchange) or its holder; "" when
// nothing was replaced. Errors: "COMMIT_CONTEXT: rename STAGING TARGET:
// reason", or "ASIDE_CONTEXT: " and the failure to set the old tree aside.
Result<std::string> ReplaceTree(const std::string& staging, const std::string& target,
                                const ReplaceTreeOptions& opts);

// Removes a tree on every way out until Release(); a failed removal is
// logged as "WHAT PATH: error" when `what` is given.
class TreeGuard {
 public:
  explicit TreeGuard(std::string path, std::string what = "") : path_(std::move(path)), what_(std::move(what)) {}
  TreeGuard(const TreeGuard&) = delete;
  TreeGuard& operator=(const TreeGuard&) = delete;
  ~TreeGuard();
  void Release() { path_.clear(); }

 private:
  std::string path_;
  std::string what_;
};

}  // namespace util
