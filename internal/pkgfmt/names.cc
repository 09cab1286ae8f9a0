#include "internal/pkgfmt/names.h"

namespace pkgfmt {

bool ValidDirName(std::string_view value) {
  // A NUL would silently cut the name short in every system call; a line
  // feed or another control character would forge lines in the log and in
  // every listing that shows the name.
  for (char c : value) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  }
  return !value.empty() && value != "." &&
         value.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos &&
         value.find("..") == std::string_view::npos;
}

bool ValidVersionDirName(std::string_view version) {
  return ValidDirName(version) && !version.ends_with(kStagingSuffix) &&
         version.find(kReplacedInfix) == std::string_view::npos &&
         version.find(kRemovingInfix) == std::string_view::npos;
}

bool HasBaseLayerIDPrefix(std::string_view id) {
  return id.substr(0, 5) == "base." || id.substr(0, 18) == "com.calderim.base.";
}

}  // namespace pkgfmt
