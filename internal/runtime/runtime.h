// One installed application made ready for one run, on the host or in the
// sandbox, with the run's audit records and metrics.
//
//   auto rt = runtime::NewRuntime(settings, "com.calderim.tool", /*no_sandbox=*/false);
//   if (!rt.ok()) return rt.error().Wrap("failed to create runtime");
//   if (auto err = (*rt)->Run(args); !err.ok()) return err.Wrap("failed to run app");
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "internal/config/config.h"
#include "internal/db/installed.h"
#include "internal/pkgfmt/manifest.h"
#include "internal/util/error.h"

namespace runtime {

class AppRuntime {
 public:
  AppRuntime(std::string app_id, bool no_sandbox, std::unique_ptr<config::Settings> cfg, db::InstalledApp app,
             pkgfmt::Manifest manifest);

  // One complete run: "PKG_RUN" and "RUNTIME_CREATE", the run, then
  // "RUNTIME_DESTROY" with its exit code and the metrics file, whatever the
  // outcome. Returns the run's error unchanged.
  util::Error Run(const std::vector<std::string>& args);

  // The application's environment: the seven names with non-empty values.
  std::vector<std::string> BuildEnv() const;

  // The "runtime_id" of a run in this process.
  std::string RuntimeID() const;

 private:
  util::Error run(const std::vector<std::string>& args);
  util::Error runSandbox(const std::vector<std::string>& args);
  util::Error runNoSandbox(const std::vector<std::string>& args);
  void finalizeRun(const std::string& run_id, const util::Error& err);

  std::string app_id_;
  bool no_sandbox_;
  std::unique_ptr<config::Settings> cfg_;
  db::InstalledApp app_;
  pkgfmt::Manifest manifest_;
  // The wait status of a host program that ended unsuccessfully, when that is
  // what the run returned.
  std::optional<int> host_exit_status_;
  // The read end of the run's signal trap, or -1.
  int signal_fd_ = -1;
};

// Loads the registry record and the installed manifest under the command's
// settings, which the runtime keeps for the whole run. Writes nothing.
util::Result<std::unique_ptr<AppRuntime>> NewRuntime(const config::Settings& cfg, const std::string& app_id,
                                                     bool no_sandbox);

// The program-path rule of both roads.
util::Error ValidateExecutablePath(const std::string& path);
// The host road's argument rule.
util::Error ValidateCommandArg(const std::string& arg);

// `base` followed by `extra`, keeping only the last entry of each name, in the
// order of those last entries.
std::vector<std::string> MergeEnv(const std::vector<std::string>& base, const std::vector<std::string>& extra);
// A value for the host road: "/app" replaced by `files` where it is a whole
// leading path component of the value or of one of its ":"-separated
// elements ("/app", "/app/..."); "/apple" or "/opt/app" stay as they are.
std::string RewriteAppPath(const std::string& value, const std::string& files);

// Validates and runs one program on the host with the process's environment
// followed by `env`, and waits for it. When it ends unsuccessfully the error
// is the wait status' text and *exit_status receives the raw wait status.
util::Error RunValidatedCommand(const std::string& name, const std::vector<std::string>& args,
                                const std::vector<std::string>& env, std::optional<int>* exit_status);

// The exit code "RUNTIME_DESTROY" records: 0 for success, the host program's
// exit status or -1 for its signal, 1 for everything else.
int RunExitCode(const util::Error& err, const std::optional<int>& host_exit_status);

}  // namespace runtime
