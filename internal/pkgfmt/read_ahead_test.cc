#include "internal/pkgfmt/read_ahead.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace pkgfmt {
namespace {

// Hands out `data` in reads of varying size, then ends with `end` (ok: a
// clean end).
class Scripted : public ByteReader {
 public:
  Scripted(std::string data, util::Error end) : data_(std::move(data)), end_(std::move(end)) {}
  util::Result<size_t> Read(char* buf, size_t n) override {
    if (at_ == data_.size()) {
      if (!end_.ok()) return end_;
      return size_t{0};
    }
    const size_t take = std::min({n, data_.size() - at_, size_t{1} + (at_ * 7919) % 5000});
    data_.copy(buf, take, at_);
    at_ += take;
    return take;
  }

 private:
  std::string data_;
  util::Error end_;
  size_t at_ = 0;
};

// Everything read through `r` in reads of varying size, and how it ended.
std::string Drain(ByteReader& r, util::Error* end) {
  std::string out;
  std::mt19937 random(7);
  char buf[9000];
  for (;;) {
    const size_t want = 1 + random() % sizeof buf;
    util::Result<size_t> n = r.Read(buf, want);
    if (!n.ok()) {
      *end = n.error();
      return out;
    }
    if (*n == 0) return out;
    out.append(buf, *n);
  }
}

TEST(ReadAhead, SameBytesThenTheSameEndWhateverTheChunking) {
  std::string data(300000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 131) ^ (i >> 9));
  struct Case {
    size_t size, chunk, depth;
    bool fails;
  } cases[] = {
      {0, 4096, 2, false},     {0, 4096, 2, true},  {1, 1, 1, false},      {data.size(), 4096, 1, false},
      {data.size(), 4096, 4, true}, {data.size(), 1 << 20, 3, true}, {4096, 4096, 2, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " bytes, chunk " + std::to_string(c.chunk) + ", depth " +
                 std::to_string(c.depth) + (c.fails ? ", failing" : ""));
    const std::string want = data.substr(0, c.size);
    auto r = NewReadAheadReader(
        std::make_unique<Scripted>(want, c.fails ? util::Error::Msg("unexpected EOF") : util::Error()), c.chunk,
        c.depth);
    util::Error end;
    EXPECT_EQ(Drain(*r, &end), want);
    EXPECT_EQ(end.message(), c.fails ? "unexpected EOF" : "");
    // The end stays the answer.
    char b;
    util::Result<size_t> again = r->Read(&b, 1);
    EXPECT_EQ(again.ok(), !c.fails);
  }
}

TEST(ReadAhead, LeftUnreadItStopsWithoutWaitingForTheReader) {
  for (size_t read = 0; read < 3; ++read) {
    auto r = NewReadAheadReader(std::make_unique<Scripted>(std::string(1 << 20, 'x'), util::Error()), 1024, 2);
    char buf[100];
    for (size_t i = 0; i < read; ++i) ASSERT_TRUE(r->Read(buf, sizeof buf).ok());
    r.reset();  // must return: the thread is blocked on a full queue
  }
}

}  // namespace
}  // namespace pkgfmt
