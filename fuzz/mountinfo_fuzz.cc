// The mountinfo decoder (the run's cleanup and the base layer's removal
// both find mounts by it): a mount point escaped as the kernel writes it
// decodes back to the path, and any table text is read without fault.
#include "fuzz/fuzz_support.h"
#include "internal/util/mountinfo.h"
#include "internal/util/strings.h"

namespace {

// The kernel's mangling of a mount point: blank, tab, line feed and
// backslash as a backslash and three octal digits.
std::string KernelEscape(std::string_view path) {
  std::string out;
  for (char c : path) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
      out += util::Sprintf("\\%03o", static_cast<unsigned char>(c));
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = fuzz::Bytes(data, size);
  (void)util::MountPointsAtOrBelow(text, "/");
  (void)util::MountPointsAtOrBelow(text, "/run/zol");

  // A path holds no NUL byte and, as a mount point, starts at the root.
  std::string path(1, '/');
  path.append(text.substr(0, text.find('\0')));
  const std::string field = KernelEscape(path);
  if (util::UnescapeMountInfo(field) != path) fuzz::Fail("a mount point field decodes wrongly");
  const std::string table = "36 35 98:0 / /proc rw - proc proc rw\n37 35 98:0 / " + field +
                            " rw,noatime shared:1 - ext4 /dev/root rw\n";
  const std::vector<std::string> found = util::MountPointsAtOrBelow(table, "/");
  if (found.size() != 2 || found[1] != path) fuzz::Fail("a mount point in a table decodes wrongly");
  return 0;
}
