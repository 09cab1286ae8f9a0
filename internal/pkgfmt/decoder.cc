#include "internal/pkgfmt/decoder.h"

#include <bzlib.h>
#include <lzma.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "internal/pkgfmt/checksum.h"

namespace pkgfmt {
namespace {

using util::Error;
using util::Result;

// zlib, bzip2 and liblzma count their input in 32-bit units.
constexpr size_t kMaxFeed = UINT_MAX;
// Above what any xz preset needs (-9e uses a 64 MiB dictionary): a hostile
// stream that declares a huge dictionary fails instead of taking the memory.
constexpr uint64_t kXzMemLimit = 256ull << 20;
// What a file-backed decoder reads at a time.
constexpr size_t kFilePiece = 64 * 1024;

// How a gzip decoder words what it finds wrong: the decoder layer's own
// texts, or the ones the package reader has always given (zlib's messages).
enum class GzipWording { kDecoder, kPackage };

Error UnexpectedEOF() { return Error::Msg("unexpected EOF"); }

bool HasMagic(std::string_view data, std::string_view magic) {
  return data.size() >= magic.size() && data.compare(0, magic.size(), magic) == 0;
}

// Checks the fixed part of a gzip member header and its optional fields, the
// way the decoder would on its first read, so that damage fails on opening.
Error CheckGzipHeader(std::string_view d) {
  if (d.empty()) return Error::Msg("EOF");
  if (d.size() < 10) return UnexpectedEOF();
  if (static_cast<uint8_t>(d[0]) != 0x1f || static_cast<uint8_t>(d[1]) != 0x8b ||
      static_cast<uint8_t>(d[2]) != 8) {
    return Error::Msg("gzip: invalid header");
  }
  const uint8_t flags = static_cast<uint8_t>(d[3]);
  if (flags & 0xe0) return Error::Msg("gzip: invalid header");
  size_t pos = 10;
  if (flags & 0x04) {  // FEXTRA
    if (d.size() < pos + 2) return UnexpectedEOF();
    const size_t xlen = static_cast<uint8_t>(d[pos]) | static_cast<uint8_t>(d[pos + 1]) << 8;
    pos += 2;
    if (d.size() < pos + xlen) return UnexpectedEOF();
    pos += xlen;
  }
  for (uint8_t bit : {uint8_t{0x08}, uint8_t{0x10}}) {  // FNAME, FCOMMENT
    if (!(flags & bit)) continue;
    const size_t nul = d.find('\0', pos);
    if (nul == std::string_view::npos) return UnexpectedEOF();
    pos = nul + 1;
  }
  if (flags & 0x02) {  // FHCRC: the low 16 bits of the header's CRC-32
    if (d.size() < pos + 2) return UnexpectedEOF();
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(d.data()), pos);
    const unsigned want = static_cast<uint8_t>(d[pos]) | static_cast<uint8_t>(d[pos + 1]) << 8;
    if ((crc & 0xffff) != want) return Error::Msg("gzip: invalid header");
  }
  return {};
}

// A decoder that, once failed, keeps failing with the same error.
class Decoder : public ByteReader {
 protected:
  Error Fail(Error e) {
    err_ = e;
    return e;
  }
  Error err_;
};

// Where a gzip decoder's encoded bytes come from, piece by piece; an empty
// piece is the end.
class GzipInput {
 public:
  virtual ~GzipInput() = default;
  virtual Result<std::string_view> Next() = 0;
};

class MemoryInput : public GzipInput {
 public:
  explicit MemoryInput(std::string_view data) : data_(data) {}
  Result<std::string_view> Next() override {
    const std::string_view piece = data_.substr(0, std::min(data_.size(), kMaxFeed));
    data_.remove_prefix(piece.size());
    return piece;
  }

 private:
  std::string_view data_;
};

class FileInput : public GzipInput {
 public:
  FileInput(int fd, Sha256* hash) : fd_(fd), hash_(hash) {}
  Result<std::string_view> Next() override {
    for (;;) {
      const ssize_t r = ::read(fd_, buf_.data(), buf_.size());
      if (r < 0) {
        if (errno == EINTR) continue;
        return Error::Sys("read", errno);
      }
      if (hash_ != nullptr) hash_->Update(buf_.data(), static_cast<size_t>(r));
      return std::string_view(buf_.data(), static_cast<size_t>(r));
    }
  }

 private:
  int fd_;
  Sha256* hash_;
  std::vector<char> buf_ = std::vector<char>(kFilePiece);
};

class GzipReader : public Decoder {
 public:
  GzipReader(std::unique_ptr<GzipInput> input, GzipWording wording)
      : input_(std::move(input)), wording_(wording) {}
  ~GzipReader() override {
    if (init_) inflateEnd(&z_);
  }

  Error Init() {
    ZOL_ASSIGN_OR_RETURN(std::string_view first, input_->Next());
    if (wording_ == GzipWording::kPackage) {
      if (first.empty()) return Error::Msg("unexpected end of file");
      if (first.size() < 2 || static_cast<uint8_t>(first[0]) != 0x1f || static_cast<uint8_t>(first[1]) != 0x8b) {
        return Error::Msg("invalid gzip header");
      }
      if (first.size() >= 3 && first[2] != 8) return Error::Msg("unsupported gzip compression method");
    } else {
      ZOL_TRY(CheckGzipHeader(first));
    }
    if (inflateInit2(&z_, 16 + MAX_WBITS) != Z_OK) {
      return Error::Msg(wording_ == GzipWording::kPackage ? "cannot start inflate" : "gzip: cannot allocate decoder");
    }
    init_ = true;
    Take(first);
    return {};
  }

  Result<size_t> Read(char* buf, size_t n) override {
    if (!err_.ok()) return err_;
    if (done_ || n == 0) return size_t{0};
    const size_t want = std::min(n, kMaxFeed);
    z_.next_out = reinterpret_cast<Bytef*>(buf);
    z_.avail_out = static_cast<uInt>(want);
    while (z_.avail_out == want && !done_) {
      if (z_.avail_in == 0) {
        auto piece = input_->Next();
        if (!piece.ok()) return Fail(piece.error());
        if (piece->empty()) {
          // Only a member that has ended may be the last.
          if (!member_end_) return Fail(UnexpectedEOF());
          done_ = true;
          break;
        }
        Take(*piece);
      }
      if (member_end_) {
        // More bytes after a member: they must start another one.
        inflateReset(&z_);
        member_end_ = false;
      }
      const int rc = inflate(&z_, Z_NO_FLUSH);
      if (rc == Z_STREAM_END) {
        member_end_ = true;
      } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
        return Fail(ZlibError(rc));
      }
    }
    return want - z_.avail_out;
  }

 private:
  void Take(std::string_view piece) {
    z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.data()));
    z_.avail_in = static_cast<uInt>(piece.size());
  }
  Error ZlibError(int rc) const {
    const std::string msg = z_.msg ? z_.msg : "";
    if (wording_ == GzipWording::kPackage) return Error::Msg("gzip: " + (msg.empty() ? "invalid data" : msg));
    if (msg == "incorrect data check" || msg == "incorrect length check") {
      return Error::Msg("gzip: invalid checksum");
    }
    if (msg == "incorrect header check" || msg == "unknown compression method" ||
        msg == "unknown header flags set" || msg == "header crc mismatch") {
      return Error::Msg("gzip: invalid header");
    }
    if (rc == Z_MEM_ERROR) return Error::Msg("gzip: out of memory");
    return Error::Msg("gzip: corrupt input: " + (msg.empty() ? "error " + std::to_string(rc) : msg));
  }
  std::unique_ptr<GzipInput> input_;
  GzipWording wording_;
  z_stream z_{};
  bool init_ = false;
  bool member_end_ = false;
  bool done_ = false;
};

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

Result<std::unique_ptr<ByteReader>> NewGzipReader(std::string_view data) {
  auto r = std::make_unique<GzipReader>(std::make_unique<MemoryInput>(data), GzipWording::kDecoder);
  ZOL_TRY(r->Init());
  return std::unique_ptr<ByteReader>(std::move(r));
}

Result<std::unique_ptr<ByteReader>> NewGzipFileReader(int fd, Sha256* hash) {
  auto r = std::make_unique<GzipReader>(std::make_unique<FileInput>(fd, hash), GzipWording::kPackage);
  ZOL_TRY(r->Init());
  return std::unique_ptr<ByteReader>(std::move(r));
}

Result<std::unique_ptr<ByteReader>> NewXzReader(std::string_view data) {
  auto r = std::make_unique<XzReader>(data);
  ZOL_TRY(r->Init());
  return std::unique_ptr<ByteReader>(std::move(r));
}

std::unique_ptr<ByteReader> NewBzip2Reader(std::string_view data) {
  return std::make_unique<Bzip2Reader>(data);
}

Result<std::unique_ptr<ByteReader>> NewZstdReader(std::string_view data) {
  ZSTD_DStream* ds = ZSTD_createDStream();
  if (ds == nullptr) return Error::Msg("zstd: cannot allocate decoder");
  return std::unique_ptr<ByteReader>(std::make_unique<ZstdReader>(data, ds));
}

std::unique_ptr<ByteReader> NewPlainReader(std::string_view data) {
  return std::make_unique<PlainReader>(data);
}

}  // namespace pkgfmt
