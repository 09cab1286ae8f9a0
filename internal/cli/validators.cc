#include "internal/cli/validators.h"

#include "internal/util/command_rule.h"

namespace cli {

namespace {

// ".." is refused anywhere in the raw text, not just as a path element.
constexpr util::CommandRule kRule{util::NulByte::kForbidden, util::DotDot::kAnywhere};

}  // namespace

util::Error validateCommandBinary(std::string_view path) { return util::ValidateCommandBinary(path, kRule); }

util::Error validateCommandArg(std::string_view arg) { return util::ValidateCommandArg(arg, kRule); }

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
