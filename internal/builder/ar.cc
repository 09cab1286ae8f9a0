#include "internal/builder/ar.h"

#include <charconv>
#include <string_view>

#include "internal/util/files.h"

namespace builder {
namespace {

using util::Error;
using util::Result;

constexpr std::string_view kArMagic = "!<arch>\n";
constexpr size_t kHeaderSize = 60;

// The size field as a signed decimal number: an optional sign, then digits
// only. Blanks before the number are an error, not padding.
bool ParseSize(std::string_view s, int64_t* out) {
  if (s.empty()) return false;
  const bool neg = s[0] == '-';
  if (s[0] == '+' || s[0] == '-') s.remove_prefix(1);
  if (s.empty()) return false;
  uint64_t mag = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), mag);
  if (ec != std::errc() || end != s.data() + s.size()) return false;
  if (neg) {
    if (mag > uint64_t{1} << 63) return false;
    *out = mag == uint64_t{1} << 63 ? INT64_MIN : -static_cast<int64_t>(mag);
  } else {
    if (mag > static_cast<uint64_t>(INT64_MAX)) return false;
    *out = static_cast<int64_t>(mag);
  }
  return true;
}

std::string_view TrimRight(std::string_view s, char c) {
  while (!s.empty() && s.back() == c) s.remove_suffix(1);
  return s;
}

}  // namespace

Result<std::map<std::string, ArFile>> ParseAr(const std::string& path) {
  auto file = util::ReadFile(path);
  if (!file.ok()) return file.error().Wrap("read ar file");
  const std::string_view data = *file;
  if (data.size() < kArMagic.size() || data.substr(0, kArMagic.size()) != kArMagic) {
    return Error::Msg("not an ar archive");
  }
  std::map<std::string, ArFile> members;
  uint64_t off = kArMagic.size();
  while (off < data.size()) {
    // A short tail after the last member is ignored, as ar tools do.
    if (data.size() - off < kHeaderSize) break;
    const std::string_view header = data.substr(off, kHeaderSize);
    const std::string name(TrimRight(TrimRight(header.substr(0, 16), ' '), '/'));
    const std::string_view size_text = TrimRight(header.substr(48, 10), ' ');
    int64_t size = 0;
    if (!ParseSize(size_text, &size)) {
      return Error::Msg("invalid size in ar header: " + std::string(size_text));
    }
    // Compared unsigned, so every negative size is over the limit too.
    if (static_cast<uint64_t>(size) > static_cast<uint64_t>(kArMemberLimit)) {
      return Error::Msg("ar entry " + name + " exceeds size limit");
    }
    const uint64_t end = off + kHeaderSize + static_cast<uint64_t>(size);
    if (end > data.size()) return Error::Msg("ar entry " + name + " exceeds file bounds");
    ArFile& f = members[name];
    f.Name = name;
    f.Size = size;
    f.Data.assign(data.substr(off + kHeaderSize, static_cast<size_t>(size)));
    off = end + (end % 2);
  }
  return members;
}

}  // namespace builder
