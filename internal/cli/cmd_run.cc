#include <cstdio>

#include "internal/cli/commands.h"
#include "internal/cli/flags.h"
#include "internal/runtime/runtime.h"

namespace cli {

namespace {

void printRunUsage() { std::fputs("Usage: zol-cli run [--no-sandbox] <appid> [command]\n", stdout); }

}  // namespace

util::Error runRun(const config::Config& cfg, const Args& args) {
  FlagSet fs("run");
  bool no_sandbox = false;
  fs.BoolVar(&no_sandbox, "no-sandbox", false, "Run without sandbox");
  fs.SetUsage(printRunUsage);
  if (auto err = fs.Parse(args); !err.ok()) return err.Wrap("parse run flags");
  const Args& rest = fs.Args();
  if (rest.empty()) {
    printRunUsage();
    return util::Error::Msg("application ID required");
  }
  auto rt = runtime::NewRuntime(cfg, rest[0], no_sandbox);
  if (!rt.ok()) return rt.error().Wrap("failed to create runtime");
  Args app_args(rest.begin() + 1, rest.end());
  if (auto err = (*rt)->Run(app_args); !err.ok()) return err.Wrap("failed to run app");
  return {};
}

}  // namespace cli
