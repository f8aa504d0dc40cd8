#include "ferrynet/data/bounce_pump.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "ferrynet/core/limits.h"
#include "ferrynet/core/log.h"
#include "ferrynet/data/data_limits.h"

namespace ferrynet {

namespace {

// Logging may touch errno; the pump reports the failure's own.
void log_keeping_errno(const char* format, int err) {
  log_line('e', format, std::strerror(err));
  errno = err;
}

// Gathers what the filter passes on. Lines that follow each other in the read
// are one run, copied once (or not at all when the run is the whole batch);
// a line the filter held across reads is copied at once, as the filter
// reuses that memory.
class BatchSink {
 public:
  BatchSink(const char* read, size_t len, CopyBuffers& buffers)
      : lo_(reinterpret_cast<uintptr_t>(read)), hi_(lo_ + len), b_(buffers) {
    b_.batch_len = 0;
  }

  bool operator()(const char* piece, size_t n) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(piece);
    if (at >= lo_ && at + n <= hi_) {
      if (run_ != nullptr && piece == run_ + run_len_) {
        run_len_ += n;
        return true;
      }
      if (!flush()) return false;
      run_ = piece;
      run_len_ = n;
      return true;
    }
    return flush() && append(piece, n);
  }
  // What to write: one run straight from the read, or the batch; false when
  // memory for the batch could not be had.
  bool result(std::string_view* out) {
    if (b_.batch_len == 0) {
      *out = std::string_view(run_, run_len_);
      return true;
    }
    if (!flush()) return false;
    *out = std::string_view(b_.batch.data(), b_.batch_len);
    return true;
  }

 private:
  bool flush() {
    const bool ok = run_ == nullptr || append(run_, run_len_);
    run_ = nullptr;
    run_len_ = 0;
    return ok;
  }
  bool append(const char* p, size_t n) {
    if (b_.batch_len + n > b_.batch.size()) {
      MergeBlock bigger(b_.batch_len + n);
      if (!bigger.valid()) return false;
      if (b_.batch_len) std::memcpy(bigger.data(), b_.batch.data(), b_.batch_len);
      b_.batch = std::move(bigger);
    }
    std::memcpy(b_.batch.data() + b_.batch_len, p, n);
    b_.batch_len += n;
    return true;
  }

  const uintptr_t lo_, hi_;
  CopyBuffers& b_;
  const char* run_ = nullptr;
  size_t run_len_ = 0;
};

}  // namespace

bool CopyBuffers::make() {
  if (!read.valid()) read = MergeBlock(kCopyChunk);
  if (!batch.valid()) batch = MergeBlock(kCopyChunk);
  return read.valid() && batch.valid();
}

int copy_step(Connection& src, Connection& dst, ListingFilter& filter, std::mutex* dst_lock, CopyBuffers& buffers) {
  if (!buffers.make()) {
    errno = ENOMEM;
    return -1;
  }
  char* const chunk = buffers.read.data();
  // Every leg waits on the shared client end; when another leg has taken
  // what woke them all, this one must not sit in a read meant for its site.
  long got = src.read_some(chunk, kCopyChunk, 0);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kCopyNothingYet;
  if (got < 0) {
    log_keeping_errno("unexpected read() error occured in data bounce routine: %s\n", errno);
    return -1;
  }
  // The read's whole lines leave in one write, at the end of the read: lines
  // of different legs still meet only at line boundaries, and the client is
  // never left waiting on a part of a read.
  BatchSink sink(chunk, static_cast<size_t>(got), buffers);
  const bool fed = got == 0 ? filter.finish(sink) : filter.feed(chunk, static_cast<size_t>(got), sink);
  std::string_view out;
  if (!fed || !sink.result(&out)) {
    errno = ENOMEM;
    return -1;
  }
  if (!out.empty()) {
    bool ok;
    if (dst_lock == nullptr) {
      ok = dst.write_all(out, kDataWaitSeconds * 1000);
    } else {
      std::lock_guard<std::mutex> hold(*dst_lock);
      ok = dst.write_all(out, kDataWaitSeconds * 1000);
    }
    if (!ok) {
      log_keeping_errno("unexpected write() error occured in data bounce routine: %s\n", errno);
      return -1;
    }
  }
  return static_cast<int>(got);
}

void run_pump(BouncePump& pump) {
  // Each direction keeps its own unfinished line and its own first line.
  ListingFilter forward(*pump.seen, pump.kind);
  ListingFilter backward(*pump.seen, pump.kind);
  // One read's memory serves both directions: a step finishes its write
  // before the next read.
  CopyBuffers buffers;
  std::mutex* to_second = pump.second == pump.shared ? pump.shared_write_lock : nullptr;
  std::mutex* to_first = pump.first == pump.shared ? pump.shared_write_lock : nullptr;
  // A batch goes out when it is written, not when the client's
  // acknowledgement of the one before arrives.
  if (pump.shared != nullptr && pump.shared->valid()) pump.shared->send_without_delay();
  Connection* ends[2] = {pump.first, pump.second};
  for (;;) {
    bool ready[2] = {};
    // A leg on which nothing moves for the data wait ends.
    if (wait_any_readable(ends, 2, kDataWaitSeconds * 1000, ready) <= 0) return;
    int r;
    int from;
    if (ready[0] && ends[0]) {
      from = 0;
      r = copy_step(*pump.first, *pump.second, forward, to_second, buffers);
    } else if (ready[1] && ends[1]) {
      from = 1;
      r = copy_step(*pump.second, *pump.first, backward, to_first, buffers);
    } else {
      continue;
    }
    if (r > 0) {
      if (r != kCopyNothingYet) pump.moved += r;
      continue;
    }
    // A client that shuts its sending side still reads: the end of what it
    // sends ends only that direction, and the site's listing goes on.
    if (r == 0 && ends[from] == pump.shared && ends[1 - from] != nullptr) {
      ends[from] = nullptr;
      continue;
    }
    if (r < 0) log_keeping_errno("system error on bounce connection (%s)\n", errno);
    return;
  }
}

}  // namespace ferrynet
