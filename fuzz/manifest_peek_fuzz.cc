// The quick look at a package's manifest (read without unpacking, to choose
// a base layer or show a package) and the extractor must agree: whatever the
// extractor leaves as "manifest.json" is what the look returned.
#include <sys/stat.h>

#include "fuzz/fuzz_support.h"
#include "internal/pkgfmt/extract.h"
#include "internal/pkgfmt/member_read.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Scratch s(fuzz::Bytes(data, size), "pkg.zol");
  auto peek = pkgfmt::ReadLastMember(s.input_path(), "manifest.json", 64 << 20);
  const bool extracted = pkgfmt::ExtractTarGz(s.input_path(), s.out()).ok();
  s.CheckNothingOutside();
  if (!extracted) return 0;
  if (!peek.ok()) fuzz::Fail("the look fails on a package that extracts: " + peek.error().message());
  const std::string path = s.out() + "/manifest.json";
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    if (peek->has_value()) fuzz::Fail("the look found a manifest the extractor does not leave as a file");
    return 0;
  }
  auto file = util::ReadFile(path);
  if (!file.ok()) fuzz::Fail("read extracted manifest");
  if (!peek->has_value()) fuzz::Fail("the look missed the manifest the extractor leaves");
  if (**peek != *file) fuzz::Fail("the look and the extractor disagree on the manifest");
  return 0;
}
