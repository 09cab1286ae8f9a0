#include "internal/runtime/warn.h"

#include <cstdio>

namespace runtime {

void WarnText(const std::string& text) { std::fprintf(stderr, "[WARN] %s\n", text.c_str()); }

}  // namespace runtime
