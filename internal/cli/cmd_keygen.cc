#include <cstdlib>

#include "internal/cli/commands.h"
#include "internal/cli/flags.h"
#include "internal/pkgfmt/keys.h"

namespace cli {

util::Error runKeygen(const config::Config&, const Args& args) {
  // "$HOME/.zol/keys" with $HOME expanded now, so the usage shows the real
  // default; an unset HOME expands to nothing.
  const char* home = std::getenv("HOME");
  std::string def = std::string(home != nullptr ? home : "") + "/.zol/keys";
  FlagSet fs("keygen");
  std::string dir;
  fs.StringVar(&dir, "dir", def, "Directory to write key pair");
  ZOL_TRY(fs.Parse(args), "parse keygen flags");
  ZOL_TRY(pkgfmt::GenerateKeyPair(dir), "keygen failed");
  return util::Error();
}

}  // namespace cli
