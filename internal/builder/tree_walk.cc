#include "internal/builder/tree_walk.h"


#include <cerrno>
#include <vector>

#include "internal/util/dir_list.h"
#include "internal/util/paths.h"

namespace builder {

namespace {

util::Error Walk(const std::string& path, const std::string& rel, const struct stat& st, const WalkVisit& visit) {
  auto action = visit(path, rel, st);
  if (!action.ok()) return action.error();
  if (!S_ISDIR(st.st_mode) || *action == WalkAction::kSkipDir) return {};
  auto names = util::ListDir(path, /*follow_last=*/rel == ".");
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
