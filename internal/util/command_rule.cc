#include "internal/util/command_rule.h"

#include <string>

#include "internal/util/paths.h"

namespace util {

bool HasShellMetachar(std::string_view s, NulByte nul) {
  static constexpr std::string_view kChars("`$;&|><\n\r\0", 10);
  return s.find_first_of(nul == NulByte::kForbidden ? kChars : kChars.substr(0, 9)) != std::string_view::npos;
}

bool BreaksCommandRule(std::string_view s, CommandRule rule) {
  if (HasShellMetachar(s, rule.nul)) return true;
  switch (rule.dots) {
    case DotDot::kAnywhere:
      return s.find("..") != std::string_view::npos;
    case DotDot::kAfterClean:
      return CleanPath(std::string(s)).find("..") != std::string::npos;
    case DotDot::kAllowed:
      break;
  }
  return false;
}

Error ValidateCommandBinary(std::string_view path, CommandRule rule) {
  if (path.empty()) return Error::Msg("command path is empty");
  if (BreaksCommandRule(path, rule)) return Error::Msg("invalid command path: " + std::string(path));
  return Error();
}

Error ValidateCommandArg(std::string_view arg, CommandRule rule) {
  if (BreaksCommandRule(arg, rule)) return Error::Msg("invalid command argument: " + std::string(arg));
  return Error();
}

}  // namespace util
