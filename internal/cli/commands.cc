#include "internal/cli/commands.h"

#include <cstdio>

namespace cli {

int Run(int argc, char** argv) {
  if (argc < 2) return 1;
  std::string word = argv[1];
  if (word == "version") {
    std::printf("zol-cli version %s\n", "1.0.0");
    return 0;
  }
  return 1;
}

}  // namespace cli
