#include "internal/util/xz_env.h"

#include <cstdlib>

#include "internal/util/command_policy.h"

namespace util {

std::vector<std::string> ParallelXzEnviron() {
  std::string opts = kParallelXzOptions;
  const char* own = std::getenv("XZ_OPT");
  if (own != nullptr && *own != '\0') opts += std::string(" ") + own;
  return EnvironWith("XZ_OPT", opts);
}

}  // namespace util
