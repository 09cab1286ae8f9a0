// RPM payloads: the newc cpio walker unpacks into a fresh directory and
// nothing lands outside it, whatever the headers say.
#include "fuzz/fuzz_support.h"
#include "internal/builder/cpio.h"
#include "internal/pkgfmt/decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes = fuzz::Bytes(data, size);
  fuzz::Scratch s(bytes, "payload.cpio");
  auto in = pkgfmt::NewPlainReader(bytes);
  builder::extractCpio(*in, s.out()).IgnoreError();
  s.CheckNothingOutside();
  return 0;
}
