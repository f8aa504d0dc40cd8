#include "ferrynet/data/bounce_pump.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "ferrynet/core/limits.h"
#include "ferrynet/core/log.h"

namespace ferrynet {

namespace {

// Logging may touch errno; the pump reports the failure's own.
void log_keeping_errno(const char* format, int err) {
  log_line('e', format, std::strerror(err));
  errno = err;
}

}  // namespace

int copy_step(Connection& src, Connection& dst, ListingFilter& filter, std::mutex* dst_lock, std::string& pending) {
  char chunk[kCopyChunk];
  // Every leg waits on the shared client end; when another leg has taken
  // what woke them all, this one must not sit in a read meant for its site.
  long got = src.read_some(chunk, sizeof chunk, 0);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kCopyNothingYet;
  if (got < 0) {
    log_keeping_errno("unexpected read() error occured in data bounce routine: %s\n", errno);
    return -1;
  }
  // The read's whole lines leave in one write: lines of different legs still
  // meet only at line boundaries, and the client is never left waiting on a
  // part of a read.
  pending.clear();
  auto emit = [&pending](const char* line, size_t len) {
    pending.append(line, len);
    return true;
  };
  if (got == 0)
    filter.finish(emit);
  else
    filter.feed(chunk, static_cast<size_t>(got), emit);
  if (!pending.empty()) {
    bool ok;
    if (dst_lock == nullptr) {
      ok = dst.write_all(pending, kDataWaitSeconds * 1000);
    } else {
      std::lock_guard<std::mutex> hold(*dst_lock);
      ok = dst.write_all(pending, kDataWaitSeconds * 1000);
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
  std::string pending;
  std::mutex* to_second = pump.second == pump.shared ? pump.shared_write_lock : nullptr;
  std::mutex* to_first = pump.first == pump.shared ? pump.shared_write_lock : nullptr;
  Connection* const ends[2] = {pump.first, pump.second};
  for (;;) {
    bool ready[2] = {};
    if (wait_any_readable(ends, 2, -1, ready) < 0) return;
    int r;
    if (ready[0])
      r = copy_step(*pump.first, *pump.second, forward, to_second, pending);
    else if (ready[1])
      r = copy_step(*pump.second, *pump.first, backward, to_first, pending);
    else
      continue;
    if (r > 0) continue;
    if (r < 0) log_keeping_errno("system error on bounce connection (%s)\n", errno);
    return;
  }
}

}  // namespace ferrynet
