// The JSON reader with the manifest on top: whatever it accepts, written back
// and read again, gives the same manifest; the generic tree and the binding
// reader agree on what is JSON.
#include "fuzz/fuzz_support.h"
#include "internal/pkgfmt/manifest.h"
#include "internal/util/json_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = fuzz::Bytes(data, size);
  const bool tree = util::json::Parse(text).ok();
  if (tree != util::json::ParseLazy(text).ok()) fuzz::Fail("Parse and ParseLazy disagree");
  auto m = pkgfmt::ParseManifest(text);
  if (!tree && m.ok()) fuzz::Fail("a manifest read from text that is not JSON");
  if (!m.ok()) return 0;
  const std::string once = pkgfmt::MarshalManifest(*m);
  auto again = pkgfmt::ParseManifest(once);
  if (!again.ok()) fuzz::Fail("written manifest does not read back: " + again.error().message());
  if (pkgfmt::MarshalManifest(*again) != once) fuzz::Fail("manifest changes when written and read again");
  return 0;
}
