// The zstd decoder, over libzstd.
#include "internal/pkgfmt/decoder.h"

#include <zstd.h>

#include <string>
#include "internal/pkgfmt/decoder_base.h"

namespace pkgfmt {

using util::Error;
using util::Result;

namespace {

class ZstdReader : public Decoder {
 public:
  ZstdReader(std::string_view data, ZSTD_DStream* ds) : in_{data.data(), data.size(), 0}, ds_(ds) {}
  ~ZstdReader() override { ZSTD_freeDStream(ds_); }

  Result<size_t> Read(char* buf, size_t n) override {
    if (!err_.ok()) return err_;
    if (n == 0) return size_t{0};
    ZSTD_outBuffer out{buf, n, 0};
    while (out.pos == 0) {
      if (in_.pos == in_.size && !frame_open_) return size_t{0};
      const size_t in_before = in_.pos;
      const size_t rc = ZSTD_decompressStream(ds_, &out, &in_);
      if (ZSTD_isError(rc)) return Fail(Error::Msg(std::string("zstd: ") + ZSTD_getErrorName(rc)));
      // 0 means a frame ended with everything flushed.
      frame_open_ = rc != 0;
      if (frame_open_ && out.pos == 0 && in_.pos == in_before && in_.pos == in_.size) {
        return Fail(UnexpectedEOF());
      }
    }
    return out.pos;
  }

 private:
  ZSTD_inBuffer in_;
  ZSTD_DStream* ds_;
  // The data holds at least a frame magic, so a frame is owed from the start.
  bool frame_open_ = true;
};


}  // namespace

Result<std::unique_ptr<ByteReader>> NewZstdReader(std::string_view data) {
  ZSTD_DStream* ds = ZSTD_createDStream();
  if (ds == nullptr) return Error::Msg("zstd: cannot allocate decoder");
  return std::unique_ptr<ByteReader>(std::make_unique<ZstdReader>(data, ds));
}

}  // namespace pkgfmt
