// The runtime's one road to the log's warning level, so that every message is
// rendered here once and written as one line.
#pragma once

#include <string>

namespace runtime {

void WarnText(const std::string& text);

}  // namespace runtime
