// The runtime's one road to the log's warning level, so that every message is
// rendered here once and written as one line; and its system-error text.
#pragma once

#include <string>

#include "internal/util/error.h"

namespace runtime {

void WarnText(const std::string& text);

// The kernel's bare reason for err ("invalid argument"), keeping err in the
// chain for callers that branch on it.
inline util::Error SysError(int err) {
  return util::Error::WithCause(util::ErrnoText(err), util::Error::Errno("", "", err));
}

}  // namespace runtime
