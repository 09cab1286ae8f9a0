#include "internal/runtime/warn.h"

#include "internal/util/log.h"

namespace runtime {

void WarnText(const std::string& text) { util::Warn("%s", text); }

}  // namespace runtime
