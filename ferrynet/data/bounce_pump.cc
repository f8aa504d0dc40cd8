#include "ferrynet/data/bounce_pump.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "ferrynet/core/log.h"
#include "ferrynet/core/net.h"

namespace ferrynet {

namespace {

// Logging may touch errno; the pump reports the failure's own.
void log_keeping_errno(const char* format, int err) {
  log_line('e', format, std::strerror(err));
  errno = err;
}

#ifdef MSG_MORE
constexpr int kMoreFollows = MSG_MORE;
#else
constexpr int kMoreFollows = 0;
#endif

// One line in one send; the rest of a send cut short by a signal follows at once.
bool write_line(int dst, const char* line, size_t len, int flags) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = ::send(dst, line + done, len - done, MSG_NOSIGNAL | flags);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      log_keeping_errno("unexpected write() error occured in data bounce routine: %s\n", errno);
      return false;
    }
    if (n == 0) {
      log_line('e', "wrote too less bytes in data bounce (?)\n");
      errno = EPIPE;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int copy_step(int src, int dst, ListingFilter& filter, std::mutex* dst_lock, std::string& pending) {
  char chunk[kCopyChunk];
  ssize_t got;
  // Every leg waits on the shared client end; when another leg has taken
  // what woke them all, this one must not sit in a read meant for its site.
  do got = ::recv(src, chunk, sizeof chunk, MSG_DONTWAIT);
  while (got < 0 && errno == EINTR);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kCopyNothingYet;
  if (got < 0) {
    log_keeping_errno("unexpected read() error occured in data bounce routine: %s\n", errno);
    return -1;
  }
  // Every line but the chunk's last goes out marked as followed by more, so
  // the kernel fills whole segments instead of sending one per line.
  bool have_pending = false;
  auto write = [&](int flags) {
    if (dst_lock == nullptr) return write_line(dst, pending.data(), pending.size(), flags);
    std::lock_guard<std::mutex> hold(*dst_lock);
    return write_line(dst, pending.data(), pending.size(), flags);
  };
  auto emit = [&](const char* line, size_t len) {
    if (have_pending && !write(kMoreFollows)) return false;
    pending.assign(line, len);
    have_pending = true;
    return true;
  };
  bool ok = got == 0 ? filter.finish(emit) : filter.feed(chunk, static_cast<size_t>(got), emit);
  if (ok && have_pending) ok = write(0);
  if (!ok) return -1;
  return static_cast<int>(got);
}

void run_pump(BouncePump& pump) {
  // Each direction keeps its own unfinished line and its own first line.
  ListingFilter forward(*pump.seen, pump.kind);
  ListingFilter backward(*pump.seen, pump.kind);
  std::string pending;
  std::mutex* to_second = pump.second_fd == pump.shared_fd ? pump.shared_write_lock : nullptr;
  std::mutex* to_first = pump.first_fd == pump.shared_fd ? pump.shared_write_lock : nullptr;
  const int fds[2] = {pump.first_fd, pump.second_fd};
  for (;;) {
    bool ready[2] = {};
    if (wait_any_readable(fds, 2, -1, ready) < 0) return;
    int r;
    if (ready[0])
      r = copy_step(pump.first_fd, pump.second_fd, forward, to_second, pending);
    else if (ready[1])
      r = copy_step(pump.second_fd, pump.first_fd, backward, to_first, pending);
    else
      continue;
    if (r > 0) continue;
    if (r < 0) log_keeping_errno("system error on bounce connection (%s)\n", errno);
    return;
  }
}

}  // namespace ferrynet
