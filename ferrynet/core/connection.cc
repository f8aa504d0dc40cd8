#include "ferrynet/core/connection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
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
                                std::string* error) {
  if (!fd_.valid() || tls_) return TlsResult::failed;
  std::unique_ptr<TlsStream> stream = TlsStream::open(ctx, fd_.get());
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
  end_tls(limit_ms < kTlsCloseMs ? limit_ms : kTlsCloseMs);
  ::shutdown(fd_.get(), SHUT_WR);
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
