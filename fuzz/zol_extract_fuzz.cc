// The guarded package extractor: into a fresh directory, and nothing lands
// outside it.
#include "fuzz/fuzz_support.h"
#include "internal/pkgfmt/extract.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Scratch s(fuzz::Bytes(data, size), "pkg.zol");
  pkgfmt::ExtractTarGz(s.input_path(), s.out()).IgnoreError();
  s.CheckNothingOutside();
  return 0;
}
