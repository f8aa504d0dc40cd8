#include "ferrynet/core/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
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

#include "ferrynet/core/limits.h"

namespace ferrynet {

namespace {

int poll_one(int fd, short events, int limit_ms) {
  pollfd p{fd, events, 0};
  for (;;) {
    int r = ::poll(&p, 1, limit_ms);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return r;
    return (p.revents & (events | POLLHUP | POLLERR | POLLNVAL)) ? 1 : 0;
  }
}

// Saturates instead of overflowing: a limit read from the configuration can be huge.
int seconds_to_ms(int limit_seconds) {
  if (limit_seconds > INT_MAX / 1000) return INT_MAX;
  if (limit_seconds < 0) return -1;
  return limit_seconds * 1000;
}

// Failures of accept() that concern one connection or a passing shortage, not
// the listener. Linux also hands the new socket's pending network errors to
// accept(); they must not end the daemon either.
bool passing_accept_error(int err) {
  switch (err) {
    case EINTR:
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EOPNOTSUPP:
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      return true;
    default:
      return false;
  }
}

bool descriptor_shortage(int err) { return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM; }

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

std::string dotted_quad(uint32_t addr_network_order) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr a{};
  a.s_addr = addr_network_order;
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

uint32_t resolve_host(const char* host) {
  if (host == nullptr) return 0;
  in_addr_t a = inet_addr(host);
  if (a != INADDR_NONE) return a;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &res) != 0 || res == nullptr) return 0;
  uint32_t out = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(res);
  return out;
}

std::optional<std::string> local_host_address() {
  char name[kHostNameBuffer] = {};
  if (gethostname(name, sizeof name - 1) != 0) return std::nullopt;
  return dotted_quad(resolve_host(name));
}

std::unique_ptr<Listener> create_listener(const char* address, uint16_t port) {
  auto l = std::make_unique<Listener>();
  l->fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!l->fd.valid()) return nullptr;
  // Lets a restarted daemon bind while old connections linger in TIME_WAIT,
  // without letting a second daemon share the port.
  int one = 1;
  if (setsockopt(l->fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) return nullptr;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (address == nullptr || std::strcmp(address, "*") == 0) {
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
  } else {
    sa.sin_addr.s_addr = resolve_host(address);
    if (sa.sin_addr.s_addr == 0) return nullptr;
  }
  if (::bind(l->fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return nullptr;
  socklen_t len = sizeof l->addr;
  if (getsockname(l->fd.get(), reinterpret_cast<sockaddr*>(&l->addr), &len) != 0) return nullptr;
  l->port = ntohs(l->addr.sin_port);
  if (::listen(l->fd.get(), kListenBacklog) != 0) return nullptr;
  return l;
}

int bind_local(int sock, const char* local_address, uint16_t local_port) {
  if (local_address && std::strcmp(local_address, "*") == 0) local_address = nullptr;
  if (local_address == nullptr && local_port == 0) return 1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(local_port);
  if (local_address) {
    sa.sin_addr.s_addr = resolve_host(local_address);
    if (sa.sin_addr.s_addr == 0) return 0;
  } else {
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
  }
  return ::bind(sock, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 1 : 0;
}

void send_without_delay(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

int connect_timed(sockaddr_in* out, const char* host, uint16_t port, const char* local_address,
                  uint16_t local_port, int limit_seconds) {
  std::memset(out, 0, sizeof *out);
  out->sin_family = AF_INET;
  out->sin_port = htons(port);
  Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s.valid()) return -1;
  if (local_port == 0) {
    // Let connect() pick the local port for the whole address pair: chosen at
    // bind time, it can clash with a lingering connection to the same peer.
    int one = 1;
    ::setsockopt(s.get(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
  }
  if (!bind_local(s.get(), local_address, local_port)) return -1;
  out->sin_addr.s_addr = resolve_host(host);
  if (out->sin_addr.s_addr == 0) return -1;
  int flags = fcntl(s.get(), F_GETFL);
  if (flags < 0 || fcntl(s.get(), F_SETFL, flags | O_NONBLOCK) < 0) return -1;
  if (::connect(s.get(), reinterpret_cast<sockaddr*>(out), sizeof *out) != 0) {
    if (errno != EINPROGRESS) return -1;
    pollfd p{s.get(), POLLIN | POLLOUT, 0};
    int r;
    do r = ::poll(&p, 1, seconds_to_ms(limit_seconds));
    while (r < 0 && errno == EINTR);
    if (r == 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    if (r < 0) return -1;
    int pending = 0;
    socklen_t len = sizeof pending;
    if (getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &pending, &len) != 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    if (pending != 0) {
      errno = pending;
      return -1;
    }
  }
  if (fcntl(s.get(), F_SETFL, flags) < 0) return -1;
  return s.release();
}

int accept_timed(int listen_fd, sockaddr_in* peer, int limit_seconds) {
  int flags = fcntl(listen_fd, F_GETFL);
  if (flags < 0) return -1;
  if (fcntl(listen_fd, F_SETFL, flags | O_NONBLOCK) < 0) return -1;
  int ready = poll_one(listen_fd, POLLIN, limit_seconds > 0 ? seconds_to_ms(limit_seconds) : -1);
  if (ready <= 0) {
    fcntl(listen_fd, F_SETFL, flags);
    return 0;
  }
  socklen_t len = sizeof *peer;
  int fd = ::accept4(listen_fd, reinterpret_cast<sockaddr*>(peer), &len, SOCK_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    if (passing_accept_error(err)) {
      fcntl(listen_fd, F_SETFL, flags);
      // The refused connection stays pending, so the next wait would return at
      // once; a short pause keeps a full descriptor table from spinning the loop.
      if (descriptor_shortage(err)) ::poll(nullptr, 0, kAcceptShortagePauseMs);
      return 0;
    }
    errno = err;
    return -1;
  }
  if (fd == 0) {
    // 0 means "no connection" to the caller, so a socket may not be handed out under that number.
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    ::close(fd);
    if (moved < 0) {
      fcntl(listen_fd, F_SETFL, flags);
      return 0;
    }
    fd = moved;
  }
  // The accepted socket must not inherit the wait's non-blocking mode.
  int aflags = fcntl(fd, F_GETFL);
  if (aflags >= 0) fcntl(fd, F_SETFL, aflags & ~O_NONBLOCK);
  if (fcntl(listen_fd, F_SETFL, flags) < 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

namespace {

int wait_readable_ms(int fd, int limit_ms) {
  int r = poll_one(fd, POLLIN, limit_ms);
  if (r > 0) return 1;
  if (r == 0) errno = ETIMEDOUT;
  return -1;
}

}  // namespace

int wait_readable(int fd, int limit_seconds) { return wait_readable_ms(fd, seconds_to_ms(limit_seconds)); }

int wait_any_readable(const int* fds, int count, int limit_ms, bool* ready) {
  pollfd p[kMaxSites + 2];
  if (count > kMaxSites + 2) return -1;
  for (int i = 0; i < count; ++i) p[i] = pollfd{fds[i], POLLIN, 0};
  int r;
  do r = ::poll(p, count, limit_ms);
  while (r < 0 && errno == EINTR);
  for (int i = 0; i < count; ++i) ready[i] = r > 0 && (p[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL));
  return r;
}

int read_line(int fd, char* buffer, int size, int deadline_seconds) {
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
    if (wait_readable_ms(fd, wait_ms) != 1) return -1;
    ssize_t n = ::read(fd, buffer + count, 1);
    if (n == 0) return 0;
    if (n < 0) return -1;
    ++count;
    if (buffer[count - 1] == '\n') return count;
    if (count >= size) return -1;
  }
}

int line_length(const char* text, int bound) {
  if (text == nullptr || bound <= 0) return -1;
  const void* lf = std::memchr(text, '\n', bound);
  if (lf == nullptr) return -1;
  return static_cast<int>(static_cast<const char*>(lf) - text) + 1;
}

long send_line(int fd, const char* format, ...) {
  char line[kSendLineMax + 1] = {};
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n < 0) return -1;
  size_t len = n > kSendLineMax ? kSendLineMax : static_cast<size_t>(n);
  return ::send(fd, line, len, MSG_NOSIGNAL);
}

long send_all(int fd, const char* data, size_t len) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = ::send(fd, data + done, len - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    done += static_cast<size_t>(n);
  }
  return static_cast<long>(done);
}

}  // namespace ferrynet
