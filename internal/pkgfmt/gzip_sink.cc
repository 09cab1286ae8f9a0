// GzipSink: one gzip member deflated block by block on several cores.
//
// A block of input is deflated alone, with the 32 KiB of input before it set
// as its dictionary, so matches reach back across the cut as they would in
// one stream. Every block but the last ends in a sync flush (an empty stored
// block, byte-aligned), so the raw outputs simply follow one another and the
// last one, finished with Z_FINISH, carries the final-block bit. What a block
// turns into depends only on its own input, its dictionary and the level:
// the member is the same whichever thread deflated which block.
#include <sched.h>
#include <zlib.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "internal/pkgfmt/gzip_sink.h"

namespace pkgfmt {

using util::Error;
using util::Result;

namespace {

constexpr size_t kBlockSize = 128 * 1024;
// deflate's window: the most a match can reach back.
constexpr size_t kDictSize = 32 * 1024;

struct Block {
  // The dictionary (`dict` bytes) followed by the block's own input.
  std::vector<unsigned char> in = std::vector<unsigned char>(kDictSize + kBlockSize);
  size_t dict = 0;
  size_t len = 0;  // dictionary included
  bool last = false;
  std::vector<unsigned char> out;
  size_t out_len = 0;
  uLong crc = 0;
  bool done = false;
  bool failed = false;

  size_t input() const { return len - dict; }
};

class Deflater {
 public:
  Deflater() = default;
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;
  ~Deflater() {
    if (init_) deflateEnd(&zs_);
  }

  bool Start(int level) {
    // Raw deflate: the gzip header and trailer are written by the sink.
    init_ = deflateInit2(&zs_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    return init_;
  }

  // Deflates b's input into b.out; false when zlib refused.
  bool Run(Block& b) {
    if (!init_ || deflateReset(&zs_) != Z_OK) return false;
    if (b.dict > 0 && deflateSetDictionary(&zs_, b.in.data(), static_cast<uInt>(b.dict)) != Z_OK) return false;
    const size_t n = b.input();
    b.crc = crc32(0L, b.in.data() + b.dict, static_cast<uInt>(n));
    const size_t bound = deflateBound(&zs_, n) + 16;
    if (b.out.size() < bound) b.out.resize(bound);
    zs_.next_in = b.in.data() + b.dict;
    zs_.avail_in = static_cast<uInt>(n);
    const int flush = b.last ? Z_FINISH : Z_SYNC_FLUSH;
    size_t have = 0;
    for (;;) {
      if (have == b.out.size()) b.out.resize(b.out.size() * 2);
      zs_.next_out = b.out.data() + have;
      zs_.avail_out = static_cast<uInt>(b.out.size() - have);
      const int r = deflate(&zs_, flush);
      if (r == Z_STREAM_ERROR) return false;
      have = b.out.size() - zs_.avail_out;
      if (b.last ? r == Z_STREAM_END : zs_.avail_out != 0) break;
    }
    b.out_len = have;
    return true;
  }

 private:
  z_stream zs_{};
  bool init_ = false;
};

int CoresAvailable() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
  unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? static_cast<int>(n) : 1;
}

}  // namespace

struct GzipSink::State {
  int level = 0;
  int threads = 1;
  uLong crc = 0;
  uint32_t size = 0;  // modulo 2^32, as the trailer records it
  std::unique_ptr<Block> cur = std::make_unique<Block>();
  std::vector<std::unique_ptr<Block>> spare;
  Deflater own;  // the calling thread's, while no worker runs

  // Workers start with the second block, so a small member costs no thread.
  std::vector<std::thread> workers;
  std::mutex mu;
  std::condition_variable work_cv;
  std::condition_variable done_cv;
  std::deque<Block*> queue;                      // waiting for a worker
  std::deque<std::unique_ptr<Block>> in_flight;  // in member order
  bool stop = false;

  size_t MaxInFlight() const { return 2 * static_cast<size_t>(threads); }

  void Work() {
    Deflater d;
    const bool started = d.Start(level);
    for (;;) {
      Block* b = nullptr;
      {
        std::unique_lock<std::mutex> lock(mu);
        work_cv.wait(lock, [&] { return stop || !queue.empty(); });
        if (stop) return;
        b = queue.front();
        queue.pop_front();
      }
      const bool ok = started && d.Run(*b);
      {
        std::lock_guard<std::mutex> lock(mu);
        b->failed = !ok;
        b->done = true;
      }
      done_cv.notify_all();
    }
  }

  void StopWorkers() {
    {
      std::lock_guard<std::mutex> lock(mu);
      stop = true;
    }
    work_cv.notify_all();
    for (std::thread& t : workers) t.join();
    workers.clear();
  }

  std::unique_ptr<Block> Fresh() {
    if (spare.empty()) return std::make_unique<Block>();
    std::unique_ptr<Block> b = std::move(spare.back());
    spare.pop_back();
    b->dict = b->len = b->out_len = 0;
    b->last = b->done = b->failed = false;
    return b;
  }
};

GzipSink::GzipSink(Sink* below) : below_(below), state_(std::make_unique<State>()) {}

GzipSink::~GzipSink() { state_->StopWorkers(); }

Result<std::unique_ptr<GzipSink>> GzipSink::Make(Sink* below, int level, int threads) {
  std::unique_ptr<GzipSink> g(new GzipSink(below));
  State& s = *g->state_;
  s.level = level;
  s.threads = threads > 0 ? threads : CoresAvailable();
  s.crc = crc32(0L, Z_NULL, 0);
  if (!s.own.Start(level)) return Error::Msg("gzip: cannot start deflate");
  unsigned char xfl = level == Z_BEST_COMPRESSION ? 2 : level == Z_BEST_SPEED ? 4 : 0;
  const unsigned char header[10] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, xfl, 255};
  Error e = below->Write(header, sizeof header);
  if (!e.ok()) return e;
  return g;
}

Error GzipSink::Write(const void* data, size_t n) {
  if (!failed_.ok()) return failed_;
  if (closed_) return failed_ = Error::Msg("gzip: write after close");
  State& s = *state_;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  s.size += static_cast<uint32_t>(n);
  while (n > 0) {
    // A full block goes out only once more input shows it is not the last.
    if (s.cur->input() == kBlockSize) ZOL_TRY(Submit(false));
    size_t take = std::min(n, kBlockSize - s.cur->input());
    std::memcpy(s.cur->in.data() + s.cur->len, p, take);
    s.cur->len += take;
    p += take;
    n -= take;
  }
  return Error();
}

Error GzipSink::Submit(bool last) {
  State& s = *state_;
  std::unique_ptr<Block> b = std::move(s.cur);
  b->last = last;
  if (!last) {
    // The next block's dictionary: the last 32 KiB of this full block.
    s.cur = s.Fresh();
    std::memcpy(s.cur->in.data(), b->in.data() + b->len - kDictSize, kDictSize);
    s.cur->dict = s.cur->len = kDictSize;
  }
  if (s.threads > 1 && s.workers.empty() && !last) {
    for (int i = 0; i < s.threads; ++i) s.workers.emplace_back([&s] { s.Work(); });
  }
  if (s.workers.empty()) {
    b->failed = !s.own.Run(*b);
    b->done = true;
    std::lock_guard<std::mutex> lock(s.mu);
    s.in_flight.push_back(std::move(b));
  } else {
    {
      std::lock_guard<std::mutex> lock(s.mu);
      s.queue.push_back(b.get());
      s.in_flight.push_back(std::move(b));
    }
    s.work_cv.notify_one();
  }
  return Drain(last);
}

// Writes finished blocks from the front, in order; waits for the front one
// when all are wanted or too many are held.
Error GzipSink::Drain(bool wait_all) {
  State& s = *state_;
  for (;;) {
    std::unique_ptr<Block> b;
    {
      std::unique_lock<std::mutex> lock(s.mu);
      if (s.in_flight.empty()) return Error();
      if (!s.in_flight.front()->done) {
        if (!wait_all && s.in_flight.size() <= s.MaxInFlight()) return Error();
        s.done_cv.wait(lock, [&] { return s.in_flight.front()->done; });
      }
      b = std::move(s.in_flight.front());
      s.in_flight.pop_front();
    }
    if (b->failed) return failed_ = Error::Msg("gzip: deflate failed");
    s.crc = crc32_combine(s.crc, b->crc, static_cast<z_off_t>(b->input()));
    if (b->out_len > 0) {
      Error e = below_->Write(b->out.data(), b->out_len);
      if (!e.ok()) return failed_ = e;
    }
    s.spare.push_back(std::move(b));
  }
}

Error GzipSink::Close() {
  if (!failed_.ok()) return failed_;
  if (closed_) return Error();
  closed_ = true;
  State& s = *state_;
  Error e = Submit(true);
  s.StopWorkers();
  if (!e.ok()) return e;
  unsigned char trailer[8];
  for (int i = 0; i < 4; ++i) trailer[i] = static_cast<unsigned char>(s.crc >> (8 * i));
  for (int i = 0; i < 4; ++i) trailer[4 + i] = static_cast<unsigned char>(s.size >> (8 * i));
  e = below_->Write(trailer, sizeof trailer);
  if (!e.ok()) failed_ = e;
  return e;
}

}  // namespace pkgfmt
