// The xz decoder, over liblzma.
#include "internal/pkgfmt/decoder.h"

#include <lzma.h>

#include <string>
#include "internal/pkgfmt/decoder_base.h"

namespace pkgfmt {

using util::Error;
using util::Result;

namespace {

// Above what any xz preset needs (-9e uses a 64 MiB dictionary): a hostile
// stream that declares a huge dictionary fails instead of taking the memory.
constexpr uint64_t kXzMemLimit = 256ull << 20;

class XzReader : public Decoder {
 public:
  explicit XzReader(std::string_view data) : data_(data) {}
  ~XzReader() override { lzma_end(&s_); }

  Error Init() {
    if (data_.size() < LZMA_STREAM_HEADER_SIZE) return UnexpectedEOF();
    lzma_stream_flags flags;
    switch (lzma_stream_header_decode(&flags, reinterpret_cast<const uint8_t*>(data_.data()))) {
      case LZMA_OK: break;
      case LZMA_DATA_ERROR: return Error::Msg("xz: stream header checksum mismatch");
      case LZMA_OPTIONS_ERROR: return Error::Msg("xz: unsupported stream header flags");
      default: return Error::Msg("xz: invalid stream header");
    }
    const lzma_ret rc = lzma_stream_decoder(&s_, kXzMemLimit, LZMA_CONCATENATED);
    if (rc != LZMA_OK) return LzmaError(rc);
    s_.next_in = reinterpret_cast<const uint8_t*>(data_.data());
    s_.avail_in = data_.size();
    return {};
  }

  Result<size_t> Read(char* buf, size_t n) override {
    if (!err_.ok()) return err_;
    if (done_ || n == 0) return size_t{0};
    s_.next_out = reinterpret_cast<uint8_t*>(buf);
    s_.avail_out = n;
    while (s_.avail_out == n) {
      // All input is given at once, so the decoder may finish at any time.
      const lzma_ret rc = lzma_code(&s_, LZMA_FINISH);
      if (rc == LZMA_STREAM_END) {
        done_ = true;
        break;
      }
      if (rc == LZMA_BUF_ERROR) return Fail(UnexpectedEOF());
      if (rc != LZMA_OK) return Fail(LzmaError(rc));
    }
    return n - s_.avail_out;
  }

 private:
  static Error LzmaError(lzma_ret rc) {
    switch (rc) {
      case LZMA_FORMAT_ERROR: return Error::Msg("xz: invalid header magic");
      case LZMA_OPTIONS_ERROR: return Error::Msg("xz: unsupported options");
      case LZMA_DATA_ERROR: return Error::Msg("xz: corrupt data");
      case LZMA_MEM_ERROR: return Error::Msg("xz: out of memory");
      case LZMA_MEMLIMIT_ERROR: return Error::Msg("xz: dictionary exceeds the memory limit");
      default: return Error::Msg("xz: decoder error " + std::to_string(static_cast<int>(rc)));
    }
  }
  std::string_view data_;
  lzma_stream s_ = LZMA_STREAM_INIT;
  bool done_ = false;
};


}  // namespace

Result<std::unique_ptr<ByteReader>> NewXzReader(std::string_view data) {
  auto r = std::make_unique<XzReader>(data);
  ZOL_TRY(r->Init());
  return std::unique_ptr<ByteReader>(std::move(r));
}

}  // namespace pkgfmt
