// The overlay's mount options: every layer path escaped, then split as the
// kernel splits them (options at ",", lower layers at ":", "\" escaping the
// next character), gives the layers back whole.
#include <vector>

#include "fuzz/fuzz_support.h"
#include "internal/runtime/overlay.h"
#include "internal/util/paths.h"

namespace {

// Splits at `sep` where it is not escaped, keeping the escapes.
std::vector<std::string> SplitEscaped(std::string_view s, char sep) {
  std::vector<std::string> out(1);
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      out.back() += s.substr(i, 2);
      ++i;
    } else if (s[i] == sep) {
      out.emplace_back();
    } else {
      out.back() += s[i];
    }
  }
  return out;
}

std::string Unescape(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) ++i;
    out += s[i];
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Three paths cut at NUL bytes, which no path holds.
  std::vector<std::string> parts(1);
  for (char c : fuzz::Bytes(data, size)) {
    if (c == '\0' && parts.size() < 3) {
      parts.emplace_back();
    } else if (c != '\0') {
      parts.back() += c;
    }
  }
  parts.resize(3);
  const runtime::OverlayConfig overlay(parts[0], parts[1], parts[2]);
  const std::string options = overlay.Options();
  if (options.find('\0') != std::string::npos) fuzz::Fail("NUL byte in the options");

  const std::vector<std::string> opts = SplitEscaped(options, ',');
  if (opts.size() != 3) fuzz::Fail("the kernel would read " + std::to_string(opts.size()) + " options: " + options);
  const struct {
    const char* key;
    const std::string& want;
  } singles[] = {{"upperdir=", overlay.upper_dir()}, {"workdir=", overlay.work_dir()}};
  if (!util::HasPrefix(opts[0], "lowerdir=")) fuzz::Fail("first option is not lowerdir: " + opts[0]);
  std::vector<std::string> lowers;
  for (const std::string& l : SplitEscaped(std::string_view(opts[0]).substr(9), ':')) lowers.push_back(Unescape(l));
  if (lowers != overlay.lower_dirs()) fuzz::Fail("the kernel would read other lower layers: " + opts[0]);
  for (size_t i = 0; i < 2; ++i) {
    if (!util::HasPrefix(opts[i + 1], singles[i].key) ||
        Unescape(std::string_view(opts[i + 1]).substr(std::string_view(singles[i].key).size())) != singles[i].want) {
      fuzz::Fail("the kernel would read another " + std::string(singles[i].key) + ": " + opts[i + 1]);
    }
  }
  return 0;
}
