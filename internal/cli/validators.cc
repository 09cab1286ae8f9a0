#include "internal/cli/validators.h"


namespace cli {

namespace {

// ".." is refused anywhere in the raw text, not just as a path element.
bool HasForbidden(std::string_view s) {
  return util::HasShellMetachar(s, util::NulByte::kForbidden) || s.find("..") != std::string_view::npos;
}

}  // namespace

util::Error validateCommandBinary(std::string_view path) {
  if (path.empty()) return util::Error::Msg("command path is empty");
  if (HasForbidden(path)) return util::Error::Msg("invalid command path: " + std::string(path));
  return util::Error();
}

util::Error validateCommandArg(std::string_view arg) {
  if (HasForbidden(arg)) return util::Error::Msg("invalid command argument: " + std::string(arg));
  return util::Error();
}

util::Result<util::Command> newValidatedCommand(const std::string& name,
                                                const std::vector<std::string>& args) {
  ZOL_TRY(validateCommandBinary(name));
  for (const std::string& a : args) ZOL_TRY(validateCommandArg(a));
  util::Command cmd;
  cmd.path = name;
  cmd.args = args;
  cmd.stdin_mode = util::Stdio::kNull;
  cmd.stdout_mode = util::Stdio::kNull;
  cmd.stderr_mode = util::Stdio::kNull;
  return cmd;
}

}  // namespace cli
