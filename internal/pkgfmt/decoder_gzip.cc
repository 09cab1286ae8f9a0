// The gzip decoder, over zlib, reading from memory or from an open file.
#include "internal/pkgfmt/decoder.h"

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "internal/pkgfmt/checksum.h"
#include "internal/pkgfmt/decoder_base.h"

namespace pkgfmt {

using util::Error;
using util::Result;

namespace {

// What a file-backed decoder reads at a time.
constexpr size_t kFilePiece = 64 * 1024;

// How a gzip decoder words what it finds wrong: the decoder layer's own
// texts, or the ones the package reader has always given (zlib's messages).
// Not a context a caller could add: the two differ in the words themselves
// ("gzip: invalid header" against "invalid gzip header"), and the package
// reader checks less of the header before the first inflate.
enum class GzipWording { kDecoder, kPackage };


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
  FileInput(int fd, std::string path, Sha256* hash) : fd_(fd), path_(std::move(path)), hash_(hash) {}
  Result<std::string_view> Next() override {
    for (;;) {
      const ssize_t r = ::read(fd_, buf_.data(), buf_.size());
      if (r < 0) {
        if (errno == EINTR) continue;
        return Error::Errno("read", path_, errno);
      }
      if (hash_ != nullptr) hash_->Update(buf_.data(), static_cast<size_t>(r));
      return std::string_view(buf_.data(), static_cast<size_t>(r));
    }
  }

 private:
  int fd_;
  std::string path_;
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


}  // namespace

Result<std::unique_ptr<ByteReader>> NewGzipReader(std::string_view data) {
  auto r = std::make_unique<GzipReader>(std::make_unique<MemoryInput>(data), GzipWording::kDecoder);
  ZOL_TRY(r->Init());
  return std::unique_ptr<ByteReader>(std::move(r));
}

Result<std::unique_ptr<ByteReader>> NewGzipFileReader(int fd, const std::string& path, Sha256* hash) {
  auto r = std::make_unique<GzipReader>(std::make_unique<FileInput>(fd, path, hash), GzipWording::kPackage);
  ZOL_TRY(r->Init());
  return std::unique_ptr<ByteReader>(std::move(r));
}

}  // namespace pkgfmt
