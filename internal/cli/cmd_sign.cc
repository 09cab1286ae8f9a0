#include <cstdio>

#include "internal/builder/interrupt.h"
#include "internal/cli/commands.h"
#include "internal/cli/flags.h"
#include "internal/cli/signing.h"

namespace cli {

util::Error runSign(const config::Config&, const Args& args) {
  FlagSet fs("sign");
  std::string key;
  fs.StringVar(&key, "key", "", "Path to private key (.key PEM file)");
  ZOL_TRY(fs.Parse(args), "parse sign flags");
  if (key.empty()) return util::Error::Msg("--key is required");
  if (fs.Args().empty()) return util::Error::Msg("package path required");
  ZOL_TRY(builder::RunTrappingSignals([&] { return signZOLFile(fs.Args()[0], key); }, true), "sign failed");
  std::printf("Signed: %s\n", fs.Args()[0].c_str());
  return util::Error();
}

}  // namespace cli
