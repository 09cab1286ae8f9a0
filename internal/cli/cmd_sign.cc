#include <cstdio>

#include "internal/cli/commands.h"
#include "internal/cli/flags.h"
#include "internal/cli/signing.h"

namespace cli {

util::Error runSign(const Args& args) {
  FlagSet fs("sign");
  std::string key;
  fs.StringVar(&key, "key", "", "Path to private key (.key PEM file)");
  if (util::Error e = fs.Parse(args); !e.ok()) return e.Wrap("parse sign flags");
  if (key.empty()) return util::Error::Msg("--key is required");
  if (fs.Args().empty()) return util::Error::Msg("package path required");
  if (util::Error e = signZOLFile(fs.Args()[0], key); !e.ok()) return e.Wrap("sign failed");
  std::printf("Signed: %s\n", fs.Args()[0].c_str());
  return util::Error();
}

}  // namespace cli
