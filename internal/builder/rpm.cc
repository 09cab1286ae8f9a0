#include "internal/builder/rpm.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <optional>
#include <variant>

#include "internal/builder/cpio.h"
#include "internal/pkgfmt/decoder.h"
#include "internal/util/fd.h"
#include "internal/util/files.h"

namespace builder {
namespace {

using pkgfmt::ByteReader;
using pkgfmt::NewGzipReader;
using util::Error;
using util::Result;

constexpr std::string_view kLeadMagic = "\xed\xab\xee\xdb";
constexpr std::string_view kHeaderMagic = "\x8e\xad\xe8\x01";
constexpr uint64_t kLeadSize = 96;
constexpr int32_t kTypeString = 6;
constexpr int32_t kTypeStringArray = 8;
constexpr int32_t kTagPayloadCompressor = 1125;

uint32_t U32(std::string_view d, uint64_t off) {
  return static_cast<uint32_t>(static_cast<uint8_t>(d[off])) << 24 |
         static_cast<uint32_t>(static_cast<uint8_t>(d[off + 1])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(d[off + 2])) << 8 | static_cast<uint8_t>(d[off + 3]);
}

bool HasMagicAt(std::string_view d, uint64_t off, std::string_view magic) {
  return off <= d.size() && d.size() - off >= magic.size() && d.compare(off, magic.size(), magic) == 0;
}

// End of a header that starts at `off`, from its own counts. All sums are
// 64-bit: hostile counts push the end past the file instead of wrapping.
uint64_t HeaderEnd(std::string_view d, uint64_t off) {
  return off + 16 + 16 * uint64_t{U32(d, off + 8)} + U32(d, off + 12);
}

bool HasLeadMagic(std::string_view d) { return HasMagicAt(d, 0, kLeadMagic); }

// The end of the lead, or nullopt when it cannot be used.
std::optional<uint64_t> skipLeadSection(std::string_view d) {
  if (d.size() < kLeadSize || static_cast<uint8_t>(d[4]) > 4) return std::nullopt;
  return kLeadSize;
}

// The start of the main header, or nullopt when the signature header at
// `off` cannot be used. The signature header itself is never checked.
std::optional<uint64_t> skipSignatureHeader(std::string_view d, uint64_t off) {
  if (off > d.size() || d.size() - off < 16 || !HasMagicAt(d, off, kHeaderMagic)) return std::nullopt;
  const uint64_t end = HeaderEnd(d, off);
  return (end + 7) / 8 * 8;
}

using TagValue = std::variant<std::string, std::vector<std::string>>;

// One value relative to the store. Offsets outside the store read as empty,
// and a list never takes more strings than the store holds.
std::optional<TagValue> parseTagValue(const RPMEntry& e, std::string_view store) {
  const bool inside = e.Offset >= 0 && static_cast<uint64_t>(e.Offset) < store.size();
  if (e.Type == kTypeString) {
    if (!inside) return TagValue(std::string());
    const std::string_view rest = store.substr(static_cast<size_t>(e.Offset));
    return TagValue(std::string(rest.substr(0, rest.find('\0'))));
  }
  if (e.Type == kTypeStringArray) {
    std::vector<std::string> list;
    if (!inside || e.Count <= 0) return TagValue(std::move(list));
    size_t pos = static_cast<size_t>(e.Offset);
    for (int32_t i = 0; i < e.Count && pos < store.size(); ++i) {
      const size_t nul = store.find('\0', pos);
      const size_t end = nul == std::string_view::npos ? store.size() : nul;
      list.emplace_back(store.substr(pos, end - pos));
      pos = end + 1;
    }
    return TagValue(std::move(list));
  }
  return std::nullopt;
}

// The decoded value of the last entry with `tag` that has one. Only the
// entries that are used get decoded, so a header full of entries pointing at
// one large store costs no more than the store itself.
std::optional<TagValue> LastValue(const RPMHeader& h, int32_t tag) {
  for (auto it = h.entries.rbegin(); it != h.entries.rend(); ++it) {
    if (it->Tag != tag) continue;
    if (auto v = parseTagValue(*it, h.store)) return v;
  }
  return std::nullopt;
}

std::string StringTag(const RPMHeader& h, int32_t tag) {
  auto v = LastValue(h, tag);
  if (!v || !std::holds_alternative<std::string>(*v)) return {};
  return std::get<std::string>(std::move(*v));
}

std::optional<std::vector<std::string>> ListTag(const RPMHeader& h, int32_t tag) {
  auto v = LastValue(h, tag);
  if (!v || !std::holds_alternative<std::vector<std::string>>(*v)) return std::nullopt;
  return std::get<std::vector<std::string>>(std::move(*v));
}

RPMPackage buildRPMPackage(const RPMHeader& h, bool with_files) {
  RPMPackage p;
  p.Name = StringTag(h, 1000);
  p.Version = StringTag(h, 1001);
  p.Release = StringTag(h, 1002);
  p.Architecture = StringTag(h, 1022);
  p.Summary = StringTag(h, 1004);
  p.Description = StringTag(h, 1005);
  if (!with_files) return p;
  if (auto files = ListTag(h, 5001)) {
    p.Files = std::move(*files);
  } else if (auto old = ListTag(h, 1027)) {
    p.Files = std::move(*old);
  }
  return p;
}

// The compressor is the last string value under its tag, entries of other
// types passed over.
std::string PayloadCompressor(const RPMHeader& h) {
  for (auto it = h.entries.rbegin(); it != h.entries.rend(); ++it) {
    if (it->Tag != kTagPayloadCompressor || it->Type != kTypeString) continue;
    return std::get<std::string>(*parseTagValue(*it, h.store));
  }
  return {};
}

Result<std::unique_ptr<ByteReader>> decompressRPMPayload(const std::string& compressor, std::string_view payload) {
  if (compressor.empty() || compressor == "gzip") {
    auto r = NewGzipReader(payload);
    if (!r.ok()) return r.error().Wrap("gzip payload reader");
    return r;
  }
  if (compressor == "xz" || compressor == "lzma") {
    return Error::Msg("xz/lzma compressed rpms not yet supported: use rpm2cpio | cpio -id");
  }
  auto r = NewGzipReader(payload);
  if (!r.ok()) return r.error().Wrap("payload reader (default gzip)");
  return r;
}

}  // namespace

RPMHeader parseHeader(std::string_view file, uint64_t offset) {
  RPMHeader h;
  if (offset > file.size() || file.size() - offset < 16 || !HasMagicAt(file, offset, kHeaderMagic)) return h;
  const uint64_t count = U32(file, offset + 8);
  const uint64_t index = offset + 16;
  // Only entries lying wholly inside the file are read, so the count never
  // decides how much is allocated.
  const uint64_t fit = (file.size() - index) / 16;
  const uint64_t n = std::min(count, fit);
  h.entries.reserve(static_cast<size_t>(n));
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t at = index + 16 * i;
    h.entries.push_back(RPMEntry{static_cast<int32_t>(U32(file, at)), static_cast<int32_t>(U32(file, at + 4)),
                                 static_cast<int32_t>(U32(file, at + 8)), static_cast<int32_t>(U32(file, at + 12))});
  }
  const uint64_t store_start = index + 16 * count;
  if (store_start < file.size()) {
    const uint64_t store_size = U32(file, offset + 12);
    h.store = file.substr(static_cast<size_t>(store_start),
                          static_cast<size_t>(std::min<uint64_t>(store_size, file.size() - store_start)));
  }
  return h;
}

Result<RPMPackage> ParseRPMMeta(const std::string& path, bool with_files) {
  auto file = util::ReadFile(path);
  if (!file.ok()) return file.error().Wrap("read rpm file");
  const std::string_view d = *file;
  if (!HasLeadMagic(d)) return Error::Msg("not an RPM file: invalid magic");
  auto lead_end = skipLeadSection(d);
  if (!lead_end) return Error::Msg("cannot find signature header in rpm");
  auto main = skipSignatureHeader(d, *lead_end);
  if (!main) return Error::Msg("cannot find header section in rpm");
  return buildRPMPackage(parseHeader(d, *main), with_files);
}

Error ExtractRPM(const std::string& rpm_path, const std::string& dest_dir) {
  auto file = util::ReadFile(rpm_path);
  if (!file.ok()) return file.error().Wrap("read rpm");
  const std::string_view d = *file;
  if (!HasLeadMagic(d)) return Error::Msg("not an RPM file");
  auto lead_end = skipLeadSection(d);
  if (!lead_end) return Error::Msg("cannot find lead in rpm");
  auto main = skipSignatureHeader(d, *lead_end);
  if (!main) return Error::Msg("cannot find header section in rpm").Wrap("parse signature header");
  const std::string compressor = PayloadCompressor(parseHeader(d, *main));
  // The payload's position comes from the main header's counts alone; its
  // magic was only needed for the metadata.
  if (*main > d.size() || d.size() - *main < 16) return Error::Msg("rpm header truncated");
  const uint64_t payload = HeaderEnd(d, *main);
  if (payload > d.size()) return Error::Msg("rpm payload offset out of range");
  auto reader = decompressRPMPayload(compressor, d.substr(static_cast<size_t>(payload)));
  if (!reader.ok()) return reader.error();
  return extractCpio(**reader, dest_dir);
}

}  // namespace builder
