#include "internal/runtime/proc_text.h"

#include <charconv>
#include <cstdint>
#include <limits>

namespace runtime {

std::vector<std::string> SplitLines(std::string_view data) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    size_t nl = data.find('\n', start);
    if (nl == std::string_view::npos) break;
    std::string_view line = data.substr(start, nl - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.emplace_back(line);
    start = nl + 1;
  }
  if (start < data.size()) lines.emplace_back(data.substr(start));
  return lines;
}

bool ParsePid(std::string_view s, pid_t* out) {
  if (s.empty()) return false;
  int64_t v = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || p != s.data() + s.size()) return false;
  if (v > std::numeric_limits<pid_t>::max() || v < std::numeric_limits<pid_t>::min()) return false;
  *out = static_cast<pid_t>(v);
  return true;
}


}  // namespace runtime
