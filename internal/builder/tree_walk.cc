#include "internal/builder/tree_walk.h"

#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "internal/util/fd.h"
#include "internal/util/paths.h"

namespace builder {

namespace {

util::Result<std::vector<std::string>> ReadNames(const std::string& dir, bool is_root) {
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (is_root ? 0 : O_NOFOLLOW);
  util::UniqueFd fd(::open(dir.c_str(), flags));
  if (!fd.valid()) return util::Error::Errno("open", dir, errno);
  DIR* d = ::fdopendir(fd.get());
  if (d == nullptr) return util::Error::Errno("open", dir, errno);
  fd.Release();
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    struct dirent* e = ::readdir(d);
    if (e == nullptr) break;
    std::string_view n = e->d_name;
    if (n == "." || n == "..") continue;
    names.emplace_back(n);
  }
  int err = errno;
  ::closedir(d);
  if (err != 0) return util::Error::Errno("readdirent", dir, err);
  std::sort(names.begin(), names.end());
  return names;
}

util::Error Walk(const std::string& path, const std::string& rel, const struct stat& st, const WalkVisit& visit) {
  auto action = visit(path, rel, st);
  if (!action.ok()) return action.error();
  if (!S_ISDIR(st.st_mode) || *action == WalkAction::kSkipDir) return {};
  auto names = ReadNames(path, rel == ".");
  if (!names.ok()) return names.error();
  for (const auto& n : *names) {
    std::string child = path + "/" + n;
    struct stat cst;
    if (::lstat(child.c_str(), &cst) != 0) return util::Error::Errno("lstat", child, errno);
    ZOL_TRY(Walk(child, rel == "." ? n : rel + "/" + n, cst, visit));
  }
  return {};
}

}  // namespace

util::Error WalkTree(const std::string& root, const WalkVisit& visit) {
  struct stat st;
  if (::stat(root.c_str(), &st) != 0) return util::Error::Errno("stat", root, errno);
  std::string path = root.size() > 1 && root.back() == '/' ? util::CleanPath(root) : root;
  return Walk(path, ".", st, visit);
}

}  // namespace builder
