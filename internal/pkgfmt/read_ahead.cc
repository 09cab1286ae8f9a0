#include "internal/pkgfmt/read_ahead.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace pkgfmt {
namespace {

class ReadAheadReader : public ByteReader {
 public:
  ReadAheadReader(std::unique_ptr<ByteReader> source, size_t chunk, size_t depth)
      : source_(std::move(source)), chunk_(std::max<size_t>(chunk, 1)), depth_(std::max<size_t>(depth, 1)) {}

  // False when no thread can be had; the source is then still whole.
  bool Start() {
    try {
      producer_ = std::thread([this] { Produce(); });
    } catch (const std::system_error&) {
      return false;
    }
    return true;
  }

  std::unique_ptr<ByteReader> TakeSource() { return std::move(source_); }

  ~ReadAheadReader() override {
    if (!producer_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopping_ = true;
    }
    room_.notify_all();
    producer_.join();
  }

  util::Result<size_t> Read(char* buf, size_t n) override {
    if (n == 0) return size_t{0};
    while (at_ == current_.size) {
      if (current_.last) {
        if (!current_.err.ok()) return current_.err;
        return size_t{0};
      }
      std::unique_lock<std::mutex> lock(mu_);
      ready_.wait(lock, [this] { return !queue_.empty(); });
      // The spent buffer goes back to the producer: fresh memory for every
      // chunk would be faulted in page by page, over and over.
      if (current_.bytes) spare_.push_back(std::move(current_.bytes));
      current_ = std::move(queue_.front());
      queue_.pop_front();
      at_ = 0;
      lock.unlock();
      room_.notify_one();
    }
    const size_t take = std::min(n, current_.size - at_);
    std::memcpy(buf, current_.bytes.get() + at_, take);
    at_ += take;
    return take;
  }

 private:
  // A piece of the stream; the last one carries how it ended.
  struct Chunk {
    std::unique_ptr<char[]> bytes;  // chunk_ bytes, `size` of them filled
    size_t size = 0;
    bool last = false;
    util::Error err;
  };

  void Produce() {
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mu_);
        room_.wait(lock, [this] { return stopping_ || queue_.size() < depth_; });
        if (stopping_) return;
      }
      Chunk c;
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (!spare_.empty()) {
          c.bytes = std::move(spare_.back());
          spare_.pop_back();
        }
      }
      if (!c.bytes) c.bytes = std::make_unique_for_overwrite<char[]>(chunk_);
      size_t filled = 0;
      // Small reads (a decoder's output per call) are gathered into a whole
      // chunk, so the reader takes the lock once per chunk.
      while (filled < chunk_) {
        util::Result<size_t> got = source_->Read(c.bytes.get() + filled, chunk_ - filled);
        if (!got.ok()) {
          c.last = true;
          c.err = got.error();
          break;
        }
        if (*got == 0) {
          c.last = true;
          break;
        }
        filled += *got;
      }
      c.size = filled;
      const bool last = c.last;
      {
        std::lock_guard<std::mutex> lock(mu_);
        queue_.push_back(std::move(c));
      }
      ready_.notify_one();
      if (last) return;
    }
  }

  std::unique_ptr<ByteReader> source_;
  const size_t chunk_;
  const size_t depth_;

  std::mutex mu_;
  std::condition_variable ready_;  // a chunk was queued
  std::condition_variable room_;   // a chunk was taken, or the reader is going
  std::deque<Chunk> queue_;
  std::vector<std::unique_ptr<char[]>> spare_;  // buffers the reader is done with
  bool stopping_ = false;

  // The reader's own: the chunk being handed out.
  Chunk current_;
  size_t at_ = 0;

  std::thread producer_;  // last, so it starts with everything above made
};

}  // namespace

std::unique_ptr<ByteReader> NewReadAheadReader(std::unique_ptr<ByteReader> source, size_t chunk, size_t depth) {
  auto ahead = std::make_unique<ReadAheadReader>(std::move(source), chunk, depth);
  // Without a second thread the stream is read as it would have been.
  if (!ahead->Start()) return ahead->TakeSource();
  return ahead;
}

}  // namespace pkgfmt
