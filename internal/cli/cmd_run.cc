#include <cstdio>
#include <memory>

#include "internal/cli/commands.h"
#include "internal/cli/flags.h"
#include "internal/cli/run_hold.h"
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
  // Held from before the runtime reads the tree until the run is torn down,
  // so no uninstall or reinstall deletes what the application sees.
  auto held = holdInstalledApp(cfg, rest[0], !no_sandbox);
  if (!held.ok()) return held.error().Wrap("failed to create runtime");
  runtime::AppRuntime rt(rest[0], no_sandbox, std::make_unique<config::Settings>(cfg), held->app, held->manifest);
  Args app_args(rest.begin() + 1, rest.end());
  if (auto err = rt.Run(app_args); !err.ok()) return err.Wrap("failed to run app");
  return {};
}

}  // namespace cli
