// Environment variables set for one scope and restored after it, for tests
// of code that reads its settings from the environment.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace testutil {

class ScopedEnv {
 public:
  ScopedEnv() = default;
  // Sets name to value, or unsets it when value is nullptr.
  ScopedEnv(const char* name, const char* value) { Set(name, value); }
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  // Sets name to value (nullptr: unsets it); the value before the first Set
  // of a name is what the destructor puts back.
  void Set(const char* name, const char* value);

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace testutil
