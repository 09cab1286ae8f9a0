#include "internal/testing/env.h"

#include <cstdlib>

namespace testutil {

void ScopedEnv::Set(const char* name, const char* value) {
  if (saved_.count(name) == 0) {
    const char* old = std::getenv(name);
    saved_[name] = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
  }
  if (value != nullptr) {
    ::setenv(name, value, 1);
  } else {
    ::unsetenv(name);
  }
}

ScopedEnv::~ScopedEnv() {
  for (const auto& [name, value] : saved_) {
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }
}

}  // namespace testutil
