#include "internal/cli/commands.h"

#include <unistd.h>

#include <cstdio>
#include <string>
#include <cstring>

#include "internal/config/config.h"
#include "internal/util/audit.h"
#include "internal/util/log.h"
#include "zol_version.h"

namespace cli {

namespace {

constexpr const char* kVersion = ZOL_VERSION;

constexpr const char* kUsage =
    "Calderim Application Runtime Environment (DRAV)\n"
    "\n"
    "Usage:\n"
    "  zol-cli <command> [options]\n"
    "\n"
    "Commands:\n"
    "  version              Show version information\n"
    "  install <package>    Install a .zol package  [requires root]\n"
    "  uninstall <appid>    Uninstall an application [requires root]\n"
    "  upgrade <package>    Upgrade an application   [requires root]\n"
    "  list                 List installed applications\n"
    "  info <appid>         Show application information\n"
    "  run [--no-sandbox] <appid>  Run an application  [requires root]\n"
    "  build                Build a .zol package       [requires root]\n"
    "  keygen [--dir <dir>] Generate an Ed25519 signing key pair\n"
    "  sign   --key <key> <pkg.zol>  Sign a .zol package\n"
    "  verify [--trusted-keys <dir>] <pkg.zol>  Verify package signature\n";

struct CommandEntry {
  const char* word;
  bool root_required;
  util::Error (*front_end)(const config::Config&, const Args&);
};

util::Error runVersion(const config::Config&, const Args&) {
  std::printf("zol-cli version %s\n", kVersion);
  return util::Error();
}

// "sign" requires root although the usage text does not say so.
constexpr CommandEntry kCommands[] = {
    {"version", false, runVersion},     {"install", true, runInstall}, {"uninstall", true, runUninstall},
    {"upgrade", true, runUpgrade},      {"list", false, runList},      {"info", false, runInfo},
    {"run", true, runRun},              {"build", true, runBuild},     {"keygen", false, runKeygen},
    {"sign", true, runSign},            {"verify", false, runVerify},
};

void printUsage() { std::fputs(kUsage, stdout); }

// The real user id decides, not the effective one: an ordinary user going
// through a set-user-id wrapper is refused, a sudo user is accepted.
bool requireRoot(const std::string& word) {
  if (::getuid() == 0) return true;
  std::fprintf(stderr, "Error: this operation requires root privileges.\n  Try: sudo zol-cli %s\n", word.c_str());
  return false;
}

}  // namespace

int Run(int argc, char** argv) {
  // Read once: every operation of this command gets these values from here.
  const config::Config cfg = config::Load();
  if (util::Error err = util::InitLogging(cfg.LogDir); !err.ok()) {
    std::fprintf(stderr, "Warning: could not open log file: %s\n", err.message().c_str());
  }
  if (util::Error err = util::InitAudit(cfg.AuditDir); !err.ok()) {
    std::fprintf(stderr, "Warning: could not open audit log: %s\n", err.message().c_str());
  }
  if (argc < 2) {
    printUsage();
    return 1;
  }
  std::string word = argv[1];
  const CommandEntry* entry = nullptr;
  for (const CommandEntry& c : kCommands) {
    if (word == c.word) entry = &c;
  }
  if (entry == nullptr) {
    std::fprintf(stderr, "Error: unknown command: %s\n\n", word.c_str());
    printUsage();
    return 1;
  }
  if (entry->root_required && !requireRoot(word)) return 1;
  Args args(argv + 2, argv + argc);
  if (util::Error err = entry->front_end(cfg, args); !err.ok()) {
    // Written whole: a message can carry a NUL from a manifest value, which
    // a C string would cut short.
    const std::string line = "[FATAL] " + err.message() + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    return 1;
  }
  return 0;
}

}  // namespace cli
