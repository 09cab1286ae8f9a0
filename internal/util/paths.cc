#include "internal/util/paths.h"

#include <unistd.h>

#include <climits>

namespace util {

std::string CleanPath(std::string_view path) {
  if (path.empty()) return ".";
  const bool rooted = path[0] == '/';
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    std::string_view elem = path.substr(i, j - i);
    i = j + 1;
    if (elem.empty() || elem == ".") continue;
    if (elem == "..") {
      if (!out.empty() && out.back() != "..") {
        out.pop_back();
      } else if (!rooted) {
        out.push_back(elem);
      }
      continue;
    }
    out.push_back(elem);
  }
  std::string result = rooted ? "/" : "";
  for (size_t k = 0; k < out.size(); ++k) {
    if (k > 0) result += '/';
    result += out[k];
  }
  if (result.empty()) return ".";
  return result;
}

std::string JoinPath(std::initializer_list<std::string_view> elems) {
  std::string joined;
  bool any = false;
  for (std::string_view e : elems) {
    if (e.empty()) continue;
    if (any) joined += '/';
    joined += e;
    any = true;
  }
  if (!any) return "";
  return CleanPath(joined);
}

std::string JoinPath(std::string_view a, std::string_view b) { return JoinPath({a, b}); }

std::string BaseName(std::string_view path) {
  if (path.empty()) return ".";
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path == "/") return "/";
  size_t slash = path.rfind('/');
  if (slash != std::string_view::npos) path.remove_prefix(slash + 1);
  return std::string(path);
}

std::string DirName(std::string_view path) {
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  return CleanPath(path.substr(0, slash + 1));
}

std::string Ext(std::string_view path) {
  for (size_t i = path.size(); i > 0; --i) {
    char c = path[i - 1];
    if (c == '/') break;
    if (c == '.') return std::string(path.substr(i - 1));
  }
  return "";
}

bool IsAbs(std::string_view path) { return !path.empty() && path[0] == '/'; }

std::string AbsPath(std::string_view path) {
  if (IsAbs(path)) return CleanPath(path);
  char buf[PATH_MAX];
  if (getcwd(buf, sizeof buf) == nullptr) return CleanPath(path);
  return JoinPath(buf, path);
}

bool HasPrefix(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool HasSuffix(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace util
