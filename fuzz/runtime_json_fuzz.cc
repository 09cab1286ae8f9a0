// A base layer's "runtime.json" as "info" shows it: any content gives the
// layer's description or says the file is malformed, never a fault.
#include <unistd.h>

#include "fuzz/fuzz_support.h"
#include "internal/cli/list_info.h"
#include "internal/config/config.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The description goes to standard output; one per input is noise.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) fuzz::Fail("silence stdout");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Scratch s(fuzz::Bytes(data, size), "runtime.json");
  config::Settings cfg;
  cfg.RuntimeDir = s.Path("runtime");
  if (!util::MkdirAll(cfg.RuntimeDir + "/debian-12-x86_64/rootfs", 0755).ok() ||
      !util::WriteFile(cfg.RuntimeDir + "/debian-12-x86_64/runtime.json", fuzz::Bytes(data, size), 0644).ok()) {
    fuzz::Fail("layer set-up");
  }
  if (!cli::showBaseInfo("com.calderim.base.debian-12-x86_64", cfg).ok()) fuzz::Fail("info fails on a layer");
  std::fflush(stdout);
  util::RemoveAll(cfg.RuntimeDir).IgnoreError();
  return 0;
}
