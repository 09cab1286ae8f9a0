// The shared layer of the decoders: exact reads, skips, sniffing the codec
// by its magic, and the bytes as they stand. Each codec has its own file.
#include "internal/pkgfmt/decoder.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "internal/pkgfmt/decoder_base.h"

namespace pkgfmt {

using util::Error;
using util::Result;

namespace {

bool HasMagic(std::string_view data, std::string_view magic) {
  return data.size() >= magic.size() && data.compare(0, magic.size(), magic) == 0;
}

class PlainReader : public ByteReader {
 public:
  explicit PlainReader(std::string_view data) : data_(data) {}
  Result<size_t> Read(char* buf, size_t n) override {
    const size_t take = std::min(n, data_.size() - pos_);
    std::memcpy(buf, data_.data() + pos_, take);
    pos_ += take;
    return take;
  }

 private:
  std::string_view data_;
  size_t pos_ = 0;
};


}  // namespace

Error ReadFull(ByteReader& r, char* buf, size_t n, bool* clean_end) {
  if (clean_end) *clean_end = false;
  size_t got = 0;
  while (got < n) {
    auto k = r.Read(buf + got, n - got);
    if (!k.ok()) return k.error();
    if (*k == 0) {
      if (got == 0 && clean_end) {
        *clean_end = true;
        return {};
      }
      return UnexpectedEOF();
    }
    got += *k;
  }
  return {};
}

Error Skip(ByteReader& r, uint64_t n) {
  char buf[4096];
  while (n > 0) {
    const size_t take = static_cast<size_t>(std::min<uint64_t>(n, sizeof buf));
    ZOL_TRY(ReadFull(r, buf, take));
    n -= take;
  }
  return {};
}

Codec SniffCodec(std::string_view data) {
  using namespace std::string_view_literals;
  if (HasMagic(data, "\x1f\x8b"sv)) return Codec::kGzip;
  if (HasMagic(data, "\xfd\x37\x7a\x58\x5a\x00"sv)) return Codec::kXz;
  if (HasMagic(data, "\x42\x5a\x68"sv)) return Codec::kBzip2;
  if (HasMagic(data, "\x28\xb5\x2f\xfd"sv)) return Codec::kZstd;
  return Codec::kNone;
}

std::unique_ptr<ByteReader> NewPlainReader(std::string_view data) {
  return std::make_unique<PlainReader>(data);
}

}  // namespace pkgfmt
