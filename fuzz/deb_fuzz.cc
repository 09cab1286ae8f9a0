// Debian packages: the ar container, the control member and file, and the
// data member unpacked into a fresh directory with nothing landing outside.
// The input is also read as a control file and as a data member by itself.
#include "fuzz/fuzz_support.h"
#include "internal/builder/ar.h"
#include "internal/builder/deb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes = fuzz::Bytes(data, size);
  builder::parseControlContent(bytes);
  (void)builder::extractControl(bytes);
  fuzz::Scratch s(bytes, "pkg.deb");
  (void)builder::ParseAr(s.input_path());
  auto deb = builder::ParseDeb(s.input_path());
  if (deb.ok()) builder::extractDataTar(deb->DataTar, s.out()).IgnoreError();
  s.CheckNothingOutside();
  if (!util::RemoveAll(s.out()).ok() || !util::MkdirAll(s.out(), 0755).ok()) fuzz::Fail("reset out");
  builder::extractDataTar(bytes, s.out()).IgnoreError();
  s.CheckNothingOutside();
  return 0;
}
