#include "ferrynet/core/connection.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "ferrynet/core/limits.h"

namespace ferrynet {

namespace {

// 1 when an event came (or the descriptor is done for), 0 after the limit, -1 on error.
int poll_one(int fd, short events, int limit_ms) {
  pollfd p{fd, events, 0};
  for (;;) {
    int r = ::poll(&p, 1, limit_ms);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return r;
    return (p.revents & (events | POLLHUP | POLLERR | POLLNVAL)) ? 1 : 0;
  }
}

int seconds_to_ms(int limit_seconds) {
  if (limit_seconds > INT_MAX / 1000) return INT_MAX;
  if (limit_seconds < 0) return -1;
  return limit_seconds * 1000;
}

long long monotonic_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Milliseconds left of a deadline counted from `start`; never negative.
int ms_left(const timeval& start, int deadline_seconds) {
  timeval now{};
  gettimeofday(&now, nullptr);
  long long elapsed_us =
      (static_cast<long long>(now.tv_sec) - start.tv_sec) * 1000000LL + (now.tv_usec - start.tv_usec);
  long long left_us = static_cast<long long>(deadline_seconds) * 1000000LL - elapsed_us;
  if (left_us <= 0) return 0;
  long long ms = (left_us + 999) / 1000;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace

Connection::~Connection() { close(); }

void Connection::close() {
  if (tls_) end_tls(kTlsCloseMs);
  tls_.reset();
  tls_lock_.reset();
  fd_.reset();
}

TlsResult Connection::start_tls(const TlsContext& ctx, int limit_ms, std::shared_ptr<TlsSessionStore> store,
                                std::string* error, const std::string& peer_name) {
  if (!fd_.valid() || tls_) return TlsResult::failed;
  std::unique_ptr<TlsStream> stream = TlsStream::open(ctx, fd_.get(), peer_name);
  if (!stream) {
    if (error) *error = "cannot set up TLS";
    return TlsResult::failed;
  }
  if (store) stream->use_session_store(std::move(store));
  TlsResult r = stream->handshake(limit_ms);
  if (r != TlsResult::ok) {
    if (error) *error = stream->error();
    return r;
  }
  tls_lock_ = std::make_unique<std::mutex>();
  tls_ = std::move(stream);
  return TlsResult::ok;
}

void Connection::end_tls(int limit_ms) {
  if (!tls_) return;
  std::lock_guard<std::mutex> hold(*tls_lock_);
  tls_->close_notify(limit_ms);
}

void Connection::finish(int limit_ms) {
  if (!fd_.valid()) return;
  end_sending(limit_ms);
  const long long deadline = monotonic_ms() + limit_ms;
  char sink[4096];
  for (;;) {
    const long long left = deadline - monotonic_ms();
    if (left <= 0) return;
    if (poll_one(fd_.get(), POLLIN, static_cast<int>(left)) <= 0) return;
    ssize_t n = ::recv(fd_.get(), sink, sizeof sink, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) return;
  }
}

void Connection::end_sending(int limit_ms) {
  if (!fd_.valid()) return;
  end_tls(limit_ms < kTlsCloseMs ? limit_ms : kTlsCloseMs);
  ::shutdown(fd_.get(), SHUT_WR);
}

bool Connection::tls_resumed() const {
  if (!tls_) return false;
  std::lock_guard<std::mutex> hold(*tls_lock_);
  return tls_->session_reused();
}

std::string Connection::tls_protocol() const {
  if (!tls_) return "none";
  std::lock_guard<std::mutex> hold(*tls_lock_);
  return tls_->protocol();
}

bool Connection::buffered() const {
  if (!tls_) return false;
  std::lock_guard<std::mutex> hold(*tls_lock_);
  return tls_->pending();
}

long Connection::read_some(char* buffer, size_t size, int limit_ms) {
  if (!fd_.valid() || size == 0) {
    errno = EBADF;
    return -1;
  }
  if (tls_) {
    std::lock_guard<std::mutex> hold(*tls_lock_);
    long n = tls_->read(buffer, size, limit_ms < 0 ? INT_MAX : limit_ms);
    if (n < 0) errno = tls_->timed_out() ? EAGAIN : EIO;
    return n;
  }
  for (;;) {
    // A peer's bytes may be taken by another reader of a shared connection
    // between the wait and the read, so the read itself never blocks.
    ssize_t n = ::recv(fd_.get(), buffer, size, MSG_DONTWAIT);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    if (limit_ms == 0) return -1;
    int r = poll_one(fd_.get(), POLLIN, limit_ms);
    if (r < 0) return -1;
    if (r == 0) {
      errno = EAGAIN;
      return -1;
    }
    // Woken: read once more, and report EAGAIN rather than wait again if another reader won.
    limit_ms = 0;
  }
}

bool Connection::write_all(const char* data, size_t len, int idle_limit_ms) {
  if (!fd_.valid()) {
    errno = EBADF;
    return false;
  }
  if (tls_) {
    std::lock_guard<std::mutex> hold(*tls_lock_);
    if (tls_->write_all(data, len, idle_limit_ms < 0 ? INT_MAX : idle_limit_ms)) return true;
    errno = tls_->timed_out() ? ETIMEDOUT : EPIPE;
    return false;
  }
  size_t done = 0;
  while (done < len) {
    ssize_t n = ::send(fd_.get(), data + done, len - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      if (n == 0) errno = EPIPE;
      return false;
    }
    int r = poll_one(fd_.get(), POLLOUT, idle_limit_ms);
    if (r == 0) errno = ETIMEDOUT;
    if (r <= 0) return false;
  }
  return true;
}

long Connection::send_line(const char* format, ...) {
  char line[kSendLineMax + 1] = {};
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n < 0) return -1;
  size_t len = n > kSendLineMax ? kSendLineMax : static_cast<size_t>(n);
  if (!write_all(line, len, seconds_to_ms(kControlWriteSeconds))) return -1;
  return static_cast<long>(len);
}

int Connection::wait_readable(int limit_seconds) {
  int r = poll_one(fd_.get(), POLLIN, seconds_to_ms(limit_seconds));
  if (r > 0) return 1;
  if (r == 0) errno = ETIMEDOUT;
  return -1;
}

int Connection::read_line(char* buffer, int size, int deadline_seconds) {
  if (buffer == nullptr || size <= 0) return -1;
  std::memset(buffer, 0, size);
  timeval start{};
  gettimeofday(&start, nullptr);
  int count = 0;
  for (;;) {
    int wait_ms = seconds_to_ms(kReadLineByteWaitSeconds);
    if (deadline_seconds > 0) {
      int left = ms_left(start, deadline_seconds);
      if (left == 0) return -1;
      // A silent peer must not hold the reader past its deadline.
      if (left < wait_ms) wait_ms = left;
    }
    long n = read_some(buffer + count, 1, wait_ms);
    if (n == 0) return 0;
    if (n < 0) return -1;
    ++count;
    if (buffer[count - 1] == '\n') return count;
    if (count >= size) return -1;
  }
}

void Connection::shutdown_both() const {
  if (fd_.valid()) ::shutdown(fd_.get(), SHUT_RDWR);
}

void Connection::shutdown_write() const {
  if (fd_.valid()) ::shutdown(fd_.get(), SHUT_WR);
}

void Connection::send_without_delay() const {
  int one = 1;
  ::setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

std::optional<Address> Connection::peer() const {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (getpeername(fd_.get(), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return std::nullopt;
  return Address::from_sockaddr(reinterpret_cast<sockaddr*>(&ss), len);
}

std::optional<Address> Connection::local() const {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return std::nullopt;
  return Address::from_sockaddr(reinterpret_cast<sockaddr*>(&ss), len);
}

namespace {

long long now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

bool cannot_splice(int err) { return err == EINVAL || err == ENOSYS || err == EOPNOTSUPP || err == EBADF; }

// A splice into a socket whose peer has gone raises SIGPIPE in the calling
// thread (there is no MSG_NOSIGNAL for it); held back, it is taken here
// without effect. errno is kept.
void swallow_sigpipe() {
  const int err = errno;
  sigset_t pending, pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  const timespec now{0, 0};
  while (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) && sigtimedwait(&pipe_only, nullptr, &now) < 0 &&
         errno == EINTR) {
  }
  errno = err;
}

}  // namespace

Splicer::Splicer(Connection& a, Connection& b) : ways_{{&a, &b, {}, {}}, {&b, &a, {}, {}}} {
  if (!a.plain() || !b.plain()) return;
  for (Way& w : ways_) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    w.out.reset(fds[0]);
    w.in.reset(fds[1]);
    int size = ::fcntl(fds[1], F_SETPIPE_SZ, kSplicePipeBytes);
    if (size < 0) size = ::fcntl(fds[1], F_GETPIPE_SZ);
    if (size <= 0) return;
    if (capacity_ == 0 || static_cast<size_t>(size) < capacity_) capacity_ = static_cast<size_t>(size);
  }
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  if (pthread_sigmask(SIG_BLOCK, &pipe_only, &signals_before_) != 0) return;
  signals_held_ = true;
  Connection* const ends[2] = {&a, &b};
  for (int i = 0; i < 2; ++i) {
    const int fd = ends[i]->fd_.get();
    modes_[i] = ::fcntl(fd, F_GETFL);
    if (modes_[i] < 0 || (!(modes_[i] & O_NONBLOCK) && ::fcntl(fd, F_SETFL, modes_[i] | O_NONBLOCK) < 0)) return;
  }
  ready_ = true;
}

Splicer::~Splicer() {
  Connection* const ends[2] = {ways_[0].from, ways_[1].from};
  for (int i = 0; i < 2; ++i)
    if (modes_[i] >= 0 && !(modes_[i] & O_NONBLOCK) && ends[i]->fd_.valid())
      ::fcntl(ends[i]->fd_.get(), F_SETFL, modes_[i]);
  if (signals_held_ && !sigismember(&signals_before_, SIGPIPE)) {
    swallow_sigpipe();
    pthread_sigmask(SIG_SETMASK, &signals_before_, nullptr);
  }
}

Splicer::Outcome Splicer::run(int idle_limit_ms, int read_limit_ms, bool b_half_closes) {
  if (!ready_) return {Result::kUnsupported};
  long long moved = 0;
  bool ending = false;  // an end reached end of stream: deliver what the pipes hold, then stop
  for (;;) {
    // ways_[d] reads end d and writes the other one.
    pollfd p[2] = {{-1, 0, 0}, {-1, 0, 0}};
    int limit = ending ? -1 : read_limit_ms;
    const long long now = now_ms();
    bool held = false;
    for (int d = 0; d < 2; ++d) {
      Way& w = ways_[d];
      if (!ending && !w.full && !w.behind && !w.ended) p[d].events |= POLLIN;
      if (w.held == 0) continue;
      held = true;
      p[1 - d].events |= POLLOUT;
      long long left = idle_limit_ms < 0 ? -1 : w.since_ms + idle_limit_ms - now;
      if (idle_limit_ms >= 0 && left < 0) left = 0;
      if (left >= 0 && (limit < 0 || left < limit)) limit = static_cast<int>(left > INT_MAX ? INT_MAX : left);
    }
    if (ending && !held) return {Result::kEnd, moved};
    // An end waited for nothing is left out: a hang-up there must not wake the wait again and again.
    for (int d = 0; d < 2; ++d)
      if (p[d].events) p[d].fd = ways_[d].from->fd_.get();
    int r = ::poll(p, 2, limit);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return {Result::kEnd, moved};  // as a failed wait always ended a copy
    if (r == 0) {
      if (!held) return {Result::kEnd, moved};  // nothing arrived within read_limit_ms
      for (Way& w : ways_)
        if (w.held > 0 && idle_limit_ms >= 0 && now_ms() - w.since_ms >= idle_limit_ms) {
          errno = ETIMEDOUT;
          return {Result::kWriteFailed, moved};
        }
      continue;
    }
    for (int d = 0; d < 2; ++d) {
      Way& w = ways_[d];
      if ((p[d].events & POLLIN) && (p[d].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) {
        ssize_t got = ::splice(w.from->fd_.get(), nullptr, w.in.get(), nullptr, capacity_,
                               SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (got > 0) {
          if (w.held == 0) w.since_ms = now_ms();
          w.held += static_cast<size_t>(got);
        } else if (got == 0) {
          if (b_half_closes && d == 1)
            w.ended = true;
          else
            ending = true;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
          // With bytes in it the pipe is full (it counts pages, not bytes):
          // read no more until some go out. Without, the wake was spurious.
          if (w.held > 0) w.full = true;
        } else if (errno != EINTR) {
          // Nothing is lost when the kernel refuses the very first bytes.
          if (cannot_splice(errno) && moved == 0 && ways_[0].held == 0 && ways_[1].held == 0)
            return {Result::kUnsupported, 0};
          return {Result::kReadFailed, moved};
        }
      }
      // The bytes just taken most likely go at once: no wait for a poll first.
      while (w.held > 0) {
        ssize_t put = ::splice(w.out.get(), nullptr, w.to->fd_.get(), nullptr, w.held, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (put > 0) {
          w.held -= static_cast<size_t>(put);
          moved += put;
          w.since_ms = now_ms();
          w.full = false;
          w.behind = w.held > 0;
          continue;
        }
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
          w.behind = true;
          break;
        }
        if (put < 0 && cannot_splice(errno)) {
          // These bytes, those of the other way, and all after them go
          // through user space.
          ready_ = false;
          for (Way& x : ways_) {
            const size_t n = x.held;
            if (!drain_by_copy(x, idle_limit_ms)) return {Result::kWriteFailed, moved};
            moved += static_cast<long long>(n);
          }
          return {ending ? Result::kEnd : Result::kUnsupported, moved};
        }
        if (put == 0) errno = EPIPE;
        if (errno == EPIPE) swallow_sigpipe();
        // An end that closed altogether rather than half: it left, nothing failed.
        if (w.to == ways_[1].from && ways_[1].ended && (errno == EPIPE || errno == ECONNRESET))
          return {Result::kEnd, moved};
        return {Result::kWriteFailed, moved};
      }
      if (w.ended && w.held == 0 && !w.shut) {
        ::shutdown(w.to->fd_.get(), SHUT_WR);
        w.shut = true;
      }
    }
  }
}

bool Splicer::drain_by_copy(Way& w, int idle_limit_ms) {
  char chunk[16384];
  while (w.held > 0) {
    ssize_t n = ::read(w.out.get(), chunk, w.held < sizeof chunk ? w.held : sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    if (!w.to->write_all(chunk, static_cast<size_t>(n), idle_limit_ms)) return false;
    w.held -= static_cast<size_t>(n);
  }
  return true;
}

int wait_any_readable(Connection* const* conns, int count, int limit_ms, bool* ready) {
  pollfd p[kMaxSites + 2];
  if (count > kMaxSites + 2 || count < 0) return -1;
  int buffered = 0;
  for (int i = 0; i < count; ++i) {
    const bool skip = conns[i] == nullptr || !conns[i]->valid();
    p[i] = pollfd{skip ? -1 : conns[i]->fd_.get(), POLLIN, 0};
    if (!skip && conns[i]->buffered()) ++buffered;
  }
  int r;
  do r = ::poll(p, count, buffered > 0 ? 0 : limit_ms);
  while (r < 0 && errno == EINTR);
  int n = 0;
  for (int i = 0; i < count; ++i) {
    const bool skip = conns[i] == nullptr || !conns[i]->valid();
    ready[i] = !skip && ((r > 0 && (p[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) || conns[i]->buffered());
    n += ready[i];
  }
  return r < 0 ? -1 : n;
}

}  // namespace ferrynet
