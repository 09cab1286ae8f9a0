// The Debian control file: parsing never fails, and each named field is the
// one filed under its lower-case key.
#include "fuzz/fuzz_support.h"
#include "internal/builder/deb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const builder::DebControl c = builder::parseControlContent(fuzz::Bytes(data, size));
  const struct {
    const char* key;
    const std::string& value;
  } named[] = {{"package", c.Package},   {"version", c.Version},   {"architecture", c.Architecture},
               {"maintainer", c.Maintainer}, {"description", c.Description}, {"depends", c.Depends},
               {"pre-depends", c.PreDepends}, {"section", c.Section}, {"priority", c.Priority},
               {"installed-size", c.InstalledSize}};
  for (const auto& f : named) {
    auto it = c.Fields.find(f.key);
    const std::string filed = it == c.Fields.end() ? "" : it->second;
    if (filed != f.value) fuzz::Fail(std::string("field ") + f.key + " differs from its entry in Fields");
  }
  for (const auto& [key, value] : c.Fields) {
    for (char ch : key) {
      if (ch >= 'A' && ch <= 'Z') fuzz::Fail("field key not lower case: " + key);
    }
  }
  return 0;
}
