// The registry file: whatever loads writes back and loads again unchanged.
#include "fuzz/fuzz_support.h"
#include "internal/db/installed.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto apps = db::DecodeApps(fuzz::Bytes(data, size));
  if (!apps.ok()) return 0;
  auto once = db::EncodeApps(*apps);
  if (!once.ok()) return 0;  // a record the writer refuses (a time out of range)
  auto again = db::DecodeApps(*once);
  if (!again.ok()) fuzz::Fail("written registry does not load: " + again.error().message());
  auto twice = db::EncodeApps(*again);
  if (!twice.ok() || *twice != *once) fuzz::Fail("registry changes when written and loaded again");
  return 0;
}
