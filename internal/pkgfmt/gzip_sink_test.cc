#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "internal/pkgfmt/gzip_testing.h"
#include "internal/pkgfmt/gzip_sink.h"
#include "internal/pkgfmt/tar_writer.h"
#include "internal/util/tempdir.h"

namespace pkgfmt {
namespace {

constexpr size_t kBlock = 128 * 1024;  // the sink's block size

// Text with long-range repeats, some binary noise and runs: what a package
// holds, and enough back-references across block cuts to show a missing or
// wrong dictionary.
std::string Mixed(size_t n, uint64_t seed) {
  static const char* kWords[] = {"package ", "install ", "runtime ", "layer ",  "sandbox ", "mount ",
                                 "overlay ", "build\n",  "config ",  "error: ", "value=",   "lib",
                                 "so.6 ",    "usr/",     "bin/",     "\t",      "{\"k\": ", "}\n"};
  std::string s;
  s.reserve(n + 64);
  uint64_t x = seed;
  auto next = [&] {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
  };
  while (s.size() < n) {
    uint64_t r = next();
    switch (r % 8) {
      case 0:  // an earlier stretch again, often from well before this block
        if (s.size() > 4096) {
          size_t from = (r >> 8) % (s.size() - 4096);
          s.append(s, from, 200 + (r >> 40) % 3000);
          break;
        }
        [[fallthrough]];
      case 1:
        for (int i = 0; i < 64; ++i) s += static_cast<char>(next());
        break;
      case 2:
        s.append(300 + r % 700, static_cast<char>('a' + r % 26));
        break;
      default:
        for (int i = 0; i < 40; ++i) s += kWords[next() % (sizeof kWords / sizeof *kWords)];
    }
  }
  s.resize(n);
  return s;
}

std::string Deflated(const std::string& in, int level, int threads, size_t chunk) {
  MemorySink mem;
  auto gz = GzipSink::Make(&mem, level, threads);
  EXPECT_TRUE(gz.ok());
  for (size_t off = 0; off < in.size(); off += chunk) {
    EXPECT_TRUE((*gz)->Write(in.data() + off, std::min(chunk, in.size() - off)).ok());
  }
  EXPECT_TRUE((*gz)->Close().ok());
  return mem.data();
}

TEST(GzipSink, SameBytesWhateverTheThreadCountAndWriteSizes) {
  const std::string big = Mixed(3 * 1024 * 1024 + 4321, 7);
  const size_t sizes[] = {0, 1, kBlock - 1, kBlock, kBlock + 1, 2 * kBlock, 5 * kBlock + 333, big.size()};
  for (int level : {Z_DEFAULT_COMPRESSION, Z_BEST_SPEED}) {
    for (size_t n : sizes) {
      SCOPED_TRACE("level " + std::to_string(level) + ", " + std::to_string(n) + " bytes");
      const std::string in = big.substr(0, n);
      const std::string one = Deflated(in, level, 1, in.size() + 1);
      EXPECT_EQ(InflateOneMember(one), in);
      for (int threads : {2, 3, 8}) {
        // Many small writes (tar headers) and one large write cut alike.
        EXPECT_EQ(Deflated(in, level, threads, 512), one) << threads << " threads";
        EXPECT_EQ(Deflated(in, level, threads, in.size() + 1), one) << threads << " threads";
      }
    }
  }
}

TEST(GzipSink, GzipReadsItAndItStaysWithinOnePercentOfOneStream) {
  const std::string in = Mixed(8 * 1024 * 1024, 11);
  for (int level : {Z_DEFAULT_COMPRESSION, Z_BEST_SPEED}) {
    SCOPED_TRACE("level " + std::to_string(level));
    const std::string ours = Deflated(in, level, 8, 65536);

    const std::string one = GzipOneStream(in, level);
    EXPECT_LE(static_cast<double>(ours.size()), 1.01 * static_cast<double>(one.size()))
        << "ours " << ours.size() << ", one stream " << one.size();

    // The gzip program checks the combined CRC and the size.
    auto tmp = util::TempDir::Make("zol-gzip-test-");
    ASSERT_TRUE(tmp.ok());
    const std::string path = tmp->path() + "/data.gz";
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(ours.data(), 1, ours.size(), f), ours.size());
    ASSERT_EQ(std::fclose(f), 0);
    FILE* p = ::popen(("gzip -dc '" + path + "'").c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string back;
    char buf[65536];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, p)) > 0) back.append(buf, got);
    EXPECT_EQ(::pclose(p), 0);
    EXPECT_TRUE(back == in) << "gzip gave back " << back.size() << " bytes of " << in.size();
  }
}

// Refuses every write once `limit` bytes have passed.
class FailingSink : public Sink {
 public:
  explicit FailingSink(size_t limit) : limit_(limit) {}
  util::Error Write(const void*, size_t n) override {
    if (seen_ + n > limit_) return util::Error::Msg("disk full");
    seen_ += n;
    return util::Error();
  }

 private:
  size_t limit_;
  size_t seen_ = 0;
};

TEST(GzipSink, AFailureBelowStopsTheMemberWithoutHangingItsWorkers) {
  const std::string in = Mixed(4 * 1024 * 1024, 3);
  for (size_t limit : {size_t{100}, size_t{200000}}) {
    FailingSink below(limit);
    auto gz = GzipSink::Make(&below, Z_DEFAULT_COMPRESSION, 8);
    ASSERT_TRUE(gz.ok());
    util::Error err;
    for (size_t off = 0; off < in.size() && err.ok(); off += 65536) err = (*gz)->Write(in.data() + off, 65536);
    if (err.ok()) err = (*gz)->Close();
    EXPECT_EQ(err.message(), "disk full") << limit;
    EXPECT_EQ((*gz)->Write("x", 1).message(), "disk full") << "a failed sink stays failed";
    // The sink goes with blocks still queued for its workers.
  }
}

}  // namespace
}  // namespace pkgfmt
