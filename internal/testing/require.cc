#include "internal/testing/require.h"

#include <cstdlib>
#include <cstring>

#include "internal/util/command_policy.h"

namespace testutil {

bool UnderCI() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::strcmp(ci, "true") == 0;
}

bool HaveTool(const std::string& name) { return util::LookPath(name).ok(); }

}  // namespace testutil
