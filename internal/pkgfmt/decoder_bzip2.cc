// The bzip2 decoder, over libbz2.
#include "internal/pkgfmt/decoder.h"

#include <bzlib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include "internal/pkgfmt/decoder_base.h"

namespace pkgfmt {

using util::Error;
using util::Result;

namespace {

class Bzip2Reader : public Decoder {
 public:
  explicit Bzip2Reader(std::string_view data) : data_(data) {}
  ~Bzip2Reader() override {
    if (init_) BZ2_bzDecompressEnd(&s_);
  }

  Result<size_t> Read(char* buf, size_t n) override {
    if (!err_.ok()) return err_;
    if (done_ || n == 0) return size_t{0};
    const size_t want = std::min(n, kMaxFeed);
    s_.next_out = buf;
    s_.avail_out = static_cast<unsigned>(want);
    while (s_.avail_out == want) {
      if (!init_) {
        // Set up lazily, and again for each stream of a concatenation (as
        // parallel compressors write them).
        char* in = s_.next_in;
        const unsigned in_left = s_.avail_in;
        std::memset(&s_, 0, sizeof s_);
        if (BZ2_bzDecompressInit(&s_, 0, 0) != BZ_OK) return Fail(Error::Msg("bzip2: cannot allocate decoder"));
        init_ = true;
        s_.next_in = in;
        s_.avail_in = in_left;
        s_.next_out = buf;
        s_.avail_out = static_cast<unsigned>(want);
      }
      if (s_.avail_in == 0 && pos_ < data_.size()) {
        const size_t take = std::min(data_.size() - pos_, kMaxFeed);
        s_.next_in = const_cast<char*>(data_.data() + pos_);
        s_.avail_in = static_cast<unsigned>(take);
        pos_ += take;
      }
      const unsigned in_before = s_.avail_in;
      const int rc = BZ2_bzDecompress(&s_);
      if (rc == BZ_STREAM_END) {
        const size_t got = want - s_.avail_out;
        BZ2_bzDecompressEnd(&s_);
        init_ = false;
        if (s_.avail_in == 0 && pos_ == data_.size()) {
          done_ = true;
          return got;
        }
        if (got > 0) return got;
        continue;
      }
      if (rc == BZ_DATA_ERROR_MAGIC) return Fail(Error::Msg("bzip2: bad magic value"));
      if (rc == BZ_DATA_ERROR) return Fail(Error::Msg("bzip2: data corrupt"));
      if (rc == BZ_MEM_ERROR) return Fail(Error::Msg("bzip2: out of memory"));
      if (rc != BZ_OK) return Fail(Error::Msg("bzip2: decoder error " + std::to_string(rc)));
      // Nothing consumed, nothing produced, no input left: the stream was cut.
      if (s_.avail_out == want && s_.avail_in == in_before && s_.avail_in == 0 && pos_ == data_.size()) {
        return Fail(UnexpectedEOF());
      }
    }
    return want - s_.avail_out;
  }

 private:
  std::string_view data_;
  size_t pos_ = 0;
  bz_stream s_{};
  bool init_ = false;
  bool done_ = false;
};


}  // namespace

std::unique_ptr<ByteReader> NewBzip2Reader(std::string_view data) {
  return std::make_unique<Bzip2Reader>(data);
}

}  // namespace pkgfmt
