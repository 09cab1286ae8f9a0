#include "internal/util/mountinfo.h"

#include "internal/util/paths.h"

namespace util {

std::string UnescapeMountInfo(std::string_view field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const char a = field[i + 1], b = field[i + 2], c = field[i + 3];
      if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
        out += static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0'));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

std::vector<std::string> MountPointsAtOrBelow(std::string_view mountinfo, const std::string& dir) {
  const std::string below = dir == "/" ? dir : dir + "/";
  std::vector<std::string> found;
  size_t pos = 0;
  while (pos < mountinfo.size()) {
    size_t end = mountinfo.find('\n', pos);
    if (end == std::string_view::npos) end = mountinfo.size();
    const std::string_view line = mountinfo.substr(pos, end - pos);
    pos = end + 1;
    // Fields: id, parent id, major:minor, root, mount point, ...
    size_t at = 0;
    for (int field = 0; field < 4 && at != std::string_view::npos; ++field) {
      at = line.find(' ', at);
      if (at != std::string_view::npos) ++at;
    }
    if (at == std::string_view::npos) continue;
    std::string point = UnescapeMountInfo(line.substr(at, line.find(' ', at) - at));
    if (point == dir || HasPrefix(point, below)) found.push_back(std::move(point));
  }
  return found;
}

}  // namespace util
