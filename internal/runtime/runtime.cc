#include "internal/runtime/runtime.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <string_view>

#include "internal/runtime/sandbox.h"
#include "internal/util/audit.h"
#include "internal/util/command_policy.h"
#include "internal/util/command_rule.h"
#include "internal/util/fd.h"
#include "internal/util/files.h"
#include "internal/util/log.h"
#include "internal/util/metrics.h"
#include "internal/util/paths.h"
#include "internal/util/process.h"
#include "internal/util/strings.h"

extern char** environ;

namespace runtime {

namespace {

std::string EnvValue(const std::map<std::string, std::string>& env, const std::string& key) {
  auto it = env.find(key);
  return it == env.end() ? std::string() : it->second;
}

std::string EnvName(const std::string& entry) { return entry.substr(0, entry.find('=')); }

}  // namespace

AppRuntime::AppRuntime(std::string app_id, bool no_sandbox, std::unique_ptr<config::Settings> cfg,
                       db::InstalledApp app, pkgfmt::Manifest manifest)
    : app_id_(std::move(app_id)),
      no_sandbox_(no_sandbox),
      cfg_(std::move(cfg)),
      app_(std::move(app)),
      manifest_(std::move(manifest)) {}

util::Result<std::unique_ptr<AppRuntime>> NewRuntime(const config::Settings& cfg, const std::string& app_id,
                                                     bool no_sandbox) {
  ZOL_ASSIGN_OR_RETURN(auto database, db::LoadDB(cfg.DBFile), "load db");
  auto app = database->GetApp(app_id);
  if (!app) return util::Error::Msg(util::Sprintf("app %s not installed", app_id.c_str()));
  // The gauge starts at 0 in every process; the metrics file a run writes
  // must still tell how many applications are installed.
  util::MetricsSetInstalled(static_cast<int64_t>(database->ListApps().size()));
  ZOL_ASSIGN_OR_RETURN(
      std::string bytes,
      util::ReadFile(util::JoinPath(app->InstallPath, "manifest.json"), 0, pkgfmt::kMaxManifestBytes),
      "read manifest");
  ZOL_ASSIGN_OR_RETURN(auto manifest, pkgfmt::ParseManifest(bytes), "parse manifest");
  return std::make_unique<AppRuntime>(app_id, no_sandbox, std::make_unique<config::Settings>(cfg),
                                      std::move(*app), std::move(manifest));
}

std::string AppRuntime::RuntimeID() const { return util::Sprintf("%s-%d", app_id_.c_str(), static_cast<int>(::getpid())); }

util::Error AppRuntime::Run(const std::vector<std::string>& args) {
  std::string run_id = RuntimeID();
  // In the sandbox, signals are held from before the run until its last
  // record is written: a signal in the teardown must not end the process
  // before RUNTIME_DESTROY. Without a trap here the sandbox takes its own.
  std::unique_ptr<SignalTrap> trap;
  if (!no_sandbox_) {
    if (auto t = SignalTrap::Install(); t.ok()) trap = std::move(*t);
  }
  signal_fd_ = trap ? trap->read_fd() : -1;
  util::RecordRun(manifest_.ID, manifest_.Version, run_id);
  util::RecordRuntimeCreate(manifest_.ID, run_id);
  util::MetricsIncRuntime();
  util::Error err = run(args);
  finalizeRun(run_id, err);
  return err;
}

util::Error AppRuntime::run(const std::vector<std::string>& args) {
  host_exit_status_.reset();
  return no_sandbox_ ? runNoSandbox(args) : runSandbox(args);
}

int RunExitCode(const util::Error& err, const std::optional<int>& host_exit_status) {
  if (err.ok()) return 0;
  if (!host_exit_status) return 1;
  return WIFEXITED(*host_exit_status) ? WEXITSTATUS(*host_exit_status) : -1;
}

void AppRuntime::finalizeRun(const std::string& run_id, const util::Error& err) {
  int code = RunExitCode(err, host_exit_status_);
  util::MetricsDecRuntime();
  util::RecordRuntimeDestroy(manifest_.ID, run_id, code);
  // The registry may have changed during a long run.
  if (auto database = db::LoadDB(cfg_->DBFile); database.ok()) {
    util::MetricsSetInstalled(static_cast<int64_t>((*database)->ListApps().size()));
  }
  if (auto werr = util::WriteMetrics(cfg_->MetricsPath); !werr.ok()) util::Warn("write metrics: %v", werr);
}

std::vector<std::string> AppRuntime::BuildEnv() const {
  const auto& env = manifest_.Runtime.Env;
  const std::pair<const char*, std::string> vars[] = {
      {"DRAV_APP_ID", manifest_.ID},
      {"DRAV_APP_NAME", manifest_.Name},
      {"DRAV_APP_VERSION", manifest_.Version},
      {"DRAV_RUNTIME_BASE", manifest_.Base},
      {"PATH", EnvValue(env, "PATH")},
      {"LD_LIBRARY_PATH", EnvValue(env, "LD_LIBRARY_PATH")},
      {"PYTHONPATH", EnvValue(env, "PYTHONPATH")},
  };
  std::vector<std::string> out;
  for (const auto& [name, value] : vars) {
    if (!value.empty()) out.push_back(std::string(name) + "=" + value);
  }
  return out;
}

util::Error AppRuntime::runSandbox(const std::vector<std::string>& args) {
  std::string rootfs = util::JoinPath({cfg_->RuntimeDir, manifest_.Base + "-" + manifest_.Arch, "rootfs"});
  struct stat st;
  if (::stat(rootfs.c_str(), &st) != 0 && errno == ENOENT) {
    return util::Error::Msg(util::Sprintf("runtime rootfs not found: %s (install runtime first)", rootfs.c_str()));
  }
  const std::string& entry = manifest_.Entry.Command;
  ZOL_TRY(ValidateExecutablePath(entry));

  SandboxOptions opts;
  opts.mem_limit_mb = cfg_->MaxRuntimeMemoryMB;
  opts.cpu_weight = cfg_->MaxRuntimeCPUWeight;
  opts.no_new_privs = true;
  opts.signal_fd = signal_fd_;

  std::vector<std::string> env = BuildEnv();
  // Full-screen programs need to know the terminal they draw on; nothing
  // else of the caller's environment enters.
  if (const char* term = std::getenv("TERM"); term != nullptr && *term != '\0') {
    env.push_back(std::string("TERM=") + term);
  }
  env.push_back("DRAV_SANDBOX=1");
  std::vector<std::string> argv = manifest_.Entry.Args;
  argv.insert(argv.end(), args.begin(), args.end());
  return EnterSandbox(rootfs, app_.InstallPath, entry, argv, env, opts);
}

util::Error AppRuntime::runNoSandbox(const std::vector<std::string>& args) {
  std::string files = app_.InstallPath + "/files";
  std::vector<std::string> env;
  for (const std::string& e : BuildEnv()) {
    size_t eq = e.find('=');
    env.push_back(e.substr(0, eq + 1) + RewriteAppPath(e.substr(eq + 1), files));
  }
  std::string program = RewriteAppPath(manifest_.Entry.Command, files);
  std::vector<std::string> argv = manifest_.Entry.Args;
  argv.insert(argv.end(), args.begin(), args.end());
  return RunValidatedCommand(program, argv, env, &host_exit_status_);
}

std::string RewriteAppPath(const std::string& value, const std::string& files) {
  static constexpr std::string_view kApp = "/app";
  std::string out;
  size_t pos = 0;
  for (;;) {
    // pos is the start of a list element.
    size_t end = value.find(':', pos);
    std::string_view element = std::string_view(value).substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    if (element.substr(0, kApp.size()) == kApp && (element.size() == kApp.size() || element[kApp.size()] == '/')) {
      out += files;
      out += element.substr(kApp.size());
    } else {
      out += element;
    }
    if (end == std::string::npos) return out;
    out += ':';
    pos = end + 1;
  }
}

std::vector<std::string> MergeEnv(const std::vector<std::string>& base, const std::vector<std::string>& extra) {
  std::vector<std::string> all = base;
  all.insert(all.end(), extra.begin(), extra.end());
  std::map<std::string, size_t> last;
  for (size_t i = 0; i < all.size(); ++i) last[EnvName(all[i])] = i;
  std::vector<std::string> out;
  for (size_t i = 0; i < all.size(); ++i) {
    if (last[EnvName(all[i])] == i) out.push_back(all[i]);
  }
  return out;
}

util::Error ValidateExecutablePath(const std::string& path) {
  if (path.empty()) return util::Error::Msg("no entry command in manifest");
  // A NUL is left to the start, which refuses it whole; a ".." that CleanPath
  // removes cannot climb above "/".
  if (util::BreaksCommandRule(path, {util::NulByte::kAllowed, util::DotDot::kAfterClean})) {
    return util::Error::Msg("invalid executable path: " + path);
  }
  if (!util::IsAbs(util::CleanPath(path))) return util::Error::Msg("relative executable path is not allowed: " + path);
  return {};
}

util::Error ValidateCommandArg(const std::string& arg) {
  return util::ValidateCommandArg(arg, {util::NulByte::kForbidden, util::DotDot::kAllowed});
}

util::Error RunValidatedCommand(const std::string& name, const std::vector<std::string>& args,
                                const std::vector<std::string>& env, std::optional<int>* exit_status) {
  ZOL_TRY(ValidateExecutablePath(name));
  util::Command cmd;
  cmd.path = name;
  for (const std::string& a : args) {
    ZOL_TRY(ValidateCommandArg(a));
    cmd.args.push_back(a);
  }
  std::vector<std::string> own;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) own.emplace_back(*e);
  cmd.env = MergeEnv(own, env);
  ZOL_ASSIGN_OR_RETURN(pid_t pid, util::StartProcess(cmd));
  ZOL_ASSIGN_OR_RETURN(int status, util::WaitProcess(pid));
  util::Error err = util::WaitStatusError(status);
  if (!err.ok()) *exit_status = status;
  return err;
}

}  // namespace runtime
