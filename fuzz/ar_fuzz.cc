// The ar container of Debian packages: every member it returns lies within
// the file, holds the size its header gave, and carries its name with the
// trailing slash of the common format removed.
#include "fuzz/fuzz_support.h"
#include "internal/builder/ar.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Scratch s(fuzz::Bytes(data, size), "pkg.ar");
  auto members = builder::ParseAr(s.input_path());
  s.CheckNothingOutside();
  if (!members.ok()) return 0;
  size_t total = 0;
  for (const auto& [key, m] : *members) {
    if (key != m.Name) fuzz::Fail("member filed under another name");
    if (m.Size < 0 || static_cast<size_t>(m.Size) != m.Data.size()) fuzz::Fail("member size differs from its data");
    if (m.Size > builder::kArMemberLimit) fuzz::Fail("member above the limit");
    // Blanks are trimmed before slashes, so " //" names " ".
    if (!m.Name.empty() && m.Name.back() == '/') fuzz::Fail("member name not trimmed");
    total += m.Data.size();
  }
  if (total > size) fuzz::Fail("members hold more than the file");
  return 0;
}
