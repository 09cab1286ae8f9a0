#include <cstdio>

#include "internal/cli/commands.h"
#include "internal/cli/flags.h"
#include "internal/cli/signing.h"

namespace cli {

util::Error runVerify(const Args& args) {
  FlagSet fs("verify");
  std::string trusted;
  fs.StringVar(&trusted, "trusted-keys", "", "Directory of trusted public keys (optional)");
  if (util::Error e = fs.Parse(args); !e.ok()) return e.Wrap("parse verify flags");
  if (fs.Args().empty()) return util::Error::Msg("package path required");
  if (util::Error e = verifyZOLFile(fs.Args()[0], trusted); !e.ok()) return e.Wrap("verify failed");
  std::printf("Signature verified OK.\n");
  return util::Error();
}

}  // namespace cli
