// RPM packages: lead, headers and the cpio payload unpacked into a fresh
// directory with nothing landing outside.
#include "fuzz/fuzz_support.h"
#include "internal/builder/rpm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Scratch s(fuzz::Bytes(data, size), "pkg.rpm");
  (void)builder::ParseRPMMeta(s.input_path());
  builder::ExtractRPM(s.input_path(), s.out()).IgnoreError();
  s.CheckNothingOutside();
  return 0;
}
