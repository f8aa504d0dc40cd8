#include "ferrynet/data/bounce_pump.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <new>
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

namespace {

// The whole lines of one piece, judged, leave in one write.
int pass_piece(const char* chunk, size_t got, bool at_end, Connection& dst, ListingFilter& filter,
               std::mutex* dst_lock, CopyBuffers& buffers) {
  BatchSink sink(chunk, got, buffers);
  const bool fed = at_end ? filter.finish(sink) : filter.feed(chunk, got, sink);
  std::string_view out;
  if (!fed || !sink.result(&out)) {
    errno = ENOMEM;
    return -1;
  }
  if (out.empty()) return 0;
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
  return 0;
}

}  // namespace

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
  if (pass_piece(chunk, static_cast<size_t>(got), got == 0, dst, filter, dst_lock, buffers) < 0) return -1;
  return static_cast<int>(got);
}

int hold_step(Connection& src, HeldListing& held) {
  if (held.pieces.empty() || held.pieces.back().block.size() - held.pieces.back().len < kHeldRoomMin) {
    MergeBlock block(kCopyChunk);
    if (!block.valid()) {
      errno = ENOMEM;
      return -1;
    }
    try {
      held.pieces.push_back(HeldListing::Piece{std::move(block), 0});
    } catch (const std::bad_alloc&) {
      errno = ENOMEM;
      return -1;
    }
  }
  HeldListing::Piece& p = held.pieces.back();
  long got = src.read_some(p.block.data() + p.len, p.block.size() - p.len, 0);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kCopyNothingYet;
  if (got < 0) {
    log_keeping_errno("unexpected read() error occured in data bounce routine: %s\n", errno);
    return -1;
  }
  p.len += static_cast<size_t>(got);
  held.bytes += static_cast<size_t>(got);
  return static_cast<int>(got);
}

bool pass_held(HeldListing& held, Connection& dst, ListingFilter& filter, std::mutex* dst_lock, CopyBuffers& buffers) {
  bool ok = buffers.make();
  if (!ok) errno = ENOMEM;
  for (HeldListing::Piece& p : held.pieces)
    if (ok && p.len > 0) ok = pass_piece(p.block.data(), p.len, false, dst, filter, dst_lock, buffers) == 0;
  held.pieces.clear();
  held.bytes = 0;
  return ok;
}

void LegTurns::done(int leg) {
  std::lock_guard<std::mutex> hold(lock_);
  if (leg >= 0 && leg < legs_ && leg < kMaxSites) done_[leg] = true;
  changed_.notify_all();
}

bool LegTurns::my_turn_held(int leg) const {
  for (int i = 0; i < leg && i < legs_ && i < kMaxSites; ++i)
    if (!done_[i]) return false;
  return true;
}

bool LegTurns::my_turn(int leg) {
  std::lock_guard<std::mutex> hold(lock_);
  return my_turn_held(leg);
}

void LegTurns::wait_turn(int leg) {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait(hold, [&] { return my_turn_held(leg); });
}

namespace {

// Tells the legs after this one that its lines are all out, however it ends.
struct TurnDone {
  LegTurns* turns;
  int leg;
  ~TurnDone() {
    if (turns) turns->done(leg);
  }
};

using Clock = std::chrono::steady_clock;

}  // namespace

void run_pump(BouncePump& pump) {
  TurnDone turn_done{pump.turns, pump.leg};
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
  // The site's listing is what waits for its turn; the client's end never does.
  const int site_end = pump.first == pump.shared ? 1 : 0;
  ListingFilter& site_filter = site_end == 0 ? forward : backward;
  std::mutex* to_client = site_end == 0 ? to_second : to_first;
  // Not from ends[]: the client's entry there goes once it stops sending.
  Connection& client = site_end == 0 ? *pump.second : *pump.first;
  HeldListing held;
  bool turn = pump.turns == nullptr || pump.turns->my_turn(pump.leg);
  // Whatever way the leg ends, what it kept goes out in its turn.
  auto release_held = [&]() {
    if (turn) return true;
    pump.turns->wait_turn(pump.leg);
    turn = true;
    return pass_held(held, client, site_filter, to_client, buffers);
  };
  Clock::time_point last_moved = Clock::now();
  for (;;) {
    if (!turn && held.full()) {
      // No more reading for now: the site waits until the earlier ones are out.
      if (!release_held()) break;
    }
    if (!turn && pump.turns->my_turn(pump.leg)) {
      turn = true;
      if (!pass_held(held, client, site_filter, to_client, buffers)) break;
    }
    bool ready[2] = {};
    // A leg on which nothing moves for the data wait ends.
    const long long idle =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - last_moved).count();
    long long limit = kDataWaitSeconds * 1000LL - idle;
    if (limit <= 0) {
      if (!release_held()) break;
      return;
    }
    if (!turn && limit > kTurnCheckMs) limit = kTurnCheckMs;
    const int w = wait_any_readable(ends, 2, static_cast<int>(limit), ready);
    if (w < 0) {
      if (!release_held()) break;
      return;
    }
    if (w == 0) continue;
    int r;
    int from;
    if (ready[0] && ends[0]) {
      from = 0;
      r = !turn && from == site_end ? hold_step(*pump.first, held)
                                   : copy_step(*pump.first, *pump.second, forward, to_second, buffers);
    } else if (ready[1] && ends[1]) {
      from = 1;
      r = !turn && from == site_end ? hold_step(*pump.second, held)
                                   : copy_step(*pump.second, *pump.first, backward, to_first, buffers);
    } else {
      continue;
    }
    if (r > 0) {
      if (r != kCopyNothingYet) {
        last_moved = Clock::now();
        if (pump.progress) pump.progress->fetch_add(r, std::memory_order_relaxed);
      }
      continue;
    }
    // A client that shuts its sending side still reads: the end of what it
    // sends ends only that direction, and the site's listing goes on.
    if (r == 0 && ends[from] == pump.shared && ends[1 - from] != nullptr) {
      ends[from] = nullptr;
      continue;
    }
    if (r == 0 && from == site_end && !turn) {
      // The site's listing is whole: it goes out, its last line too, in its turn.
      if (!release_held()) break;
      r = pass_piece(nullptr, 0, true, client, site_filter, to_client, buffers);
    }
    if (r < 0) {
      // What the site sent before its failure still goes out in its turn.
      const int err = errno;
      if (from == site_end) release_held();
      errno = err;
      log_keeping_errno("system error on bounce connection (%s)\n", errno);
      return;
    }
    if (ends[from] != pump.shared) {
      pump.site_cut = !ends[from]->ended_cleanly();
      pump.whole = !pump.site_cut;
    }
    return;
  }
  log_keeping_errno("system error on bounce connection (%s)\n", errno);
}

}  // namespace ferrynet
