#include "ferrynet/core/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <chrono>
#include <cstring>
#include <vector>

#include "ferrynet/core/limits.h"

namespace ferrynet {

namespace {

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

bool any_address(const char* address) { return address == nullptr || std::strcmp(address, "*") == 0; }

Address any_of(int family, uint16_t port) {
  if (family == AF_INET6) return *Address::parse("::", port);
  return Address::ipv4(htonl(INADDR_ANY), port);
}

// 1 when bound or nothing to do, 0 on failure. A local address of the other
// family than the peer's cannot be used toward it: the system then picks
// the source, as it does without one.
int bind_local(int sock, int family, const char* local_address, uint16_t local_port) {
  if (local_address && std::strcmp(local_address, "*") == 0) local_address = nullptr;
  if (local_address == nullptr && local_port == 0) return 1;
  std::optional<Address> a = local_address ? Address::resolve(local_address, local_port) : any_of(family, local_port);
  if (!a) return 0;
  if (a->family() != family) {
    if (local_port == 0) return 1;
    a = any_of(family, local_port);
  }
  sockaddr_storage ss{};
  socklen_t len = a->to_sockaddr(ss);
  return ::bind(sock, reinterpret_cast<sockaddr*>(&ss), len) == 0 ? 1 : 0;
}

// A bound, listening socket on `where`; `dual` also takes IPv4 on an IPv6 socket.
std::unique_ptr<Listener> listen_on(const Address& where, bool dual, int* error) {
  Fd fd(::socket(where.family(), SOCK_STREAM | SOCK_CLOEXEC, 0));
  auto failed = [error]() -> std::unique_ptr<Listener> {
    *error = errno;
    return nullptr;
  };
  if (!fd.valid()) return failed();
  // Lets a restarted daemon bind while old connections linger in TIME_WAIT,
  // without letting a second daemon share the port.
  int one = 1;
  if (setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) return failed();
  if (where.is_ipv6()) {
    // Whatever the system's default: "*" means both families, a literal its own.
    int only = dual ? 0 : 1;
    if (setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only) != 0) return failed();
  }
  sockaddr_storage ss{};
  socklen_t len = where.to_sockaddr(ss);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&ss), len) != 0) return failed();
  len = sizeof ss;
  if (getsockname(fd.get(), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return failed();
  std::optional<Address> bound = Address::from_sockaddr(reinterpret_cast<sockaddr*>(&ss), len);
  if (!bound) return failed();
  if (::listen(fd.get(), kListenBacklog) != 0) return failed();
  auto l = std::make_unique<Listener>(std::move(fd));
  l->addr = *bound;
  l->port = bound->port();
  return l;
}

}  // namespace

std::optional<Address> resolve_host(const char* host) { return Address::resolve(host, 0); }

std::optional<std::string> local_host_address() {
  char name[kHostNameBuffer] = {};
  if (gethostname(name, sizeof name - 1) != 0) return std::nullopt;
  std::optional<Address> a = resolve_host(name);
  return a ? a->host() : std::string("0.0.0.0");
}

std::unique_ptr<Listener> create_listener(const char* address, uint16_t port) {
  int error = 0;
  if (any_address(address)) {
    // Both families on one socket; where the machine has no IPv6, IPv4 alone.
    std::unique_ptr<Listener> l = listen_on(any_of(AF_INET6, port), true, &error);
    if (l || (error != EAFNOSUPPORT && error != EADDRNOTAVAIL && error != EPROTONOSUPPORT)) return l;
    return listen_on(any_of(AF_INET, port), false, &error);
  }
  std::optional<Address> where = Address::resolve(address, port);
  if (!where) return nullptr;
  return listen_on(*where, false, &error);
}

std::unique_ptr<Listener> Listener::duplicate_at(int min_fd) const {
  auto l = std::make_unique<Listener>(Fd(fcntl(fd_.get(), F_DUPFD_CLOEXEC, min_fd)));
  if (!l->fd_.valid()) return nullptr;
  l->port = port;
  l->addr = addr;
  return l;
}

namespace {

// A socket bound and connecting without waiting. Invalid when the attempt
// failed already (out.error says why); `done` when it connected at once.
Fd start_connect(const ConnectRequest& r, ConnectOutcome& out, int& flags, bool& done) {
  done = false;
  std::optional<Address> to = Address::resolve(r.host, r.port);
  if (!to) {
    out.error = EHOSTUNREACH;
    return Fd();
  }
  out.to = *to;
  Fd s(::socket(to->family(), SOCK_STREAM | SOCK_CLOEXEC, 0));
  auto fail = [&out](int err) {
    out.error = err;
    return Fd();
  };
  if (!s.valid()) return fail(errno);
  if (r.local_port == 0) {
    // Let connect() pick the local port for the whole address pair: chosen at
    // bind time, it can clash with a lingering connection to the same peer.
    int one = 1;
    ::setsockopt(s.get(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
  }
  if (!bind_local(s.get(), to->family(), r.local_address, r.local_port)) return fail(errno ? errno : EADDRNOTAVAIL);
  flags = fcntl(s.get(), F_GETFL);
  if (flags < 0 || fcntl(s.get(), F_SETFL, flags | O_NONBLOCK) < 0) return fail(errno);
  sockaddr_storage ss{};
  socklen_t len = to->to_sockaddr(ss);
  if (::connect(s.get(), reinterpret_cast<sockaddr*>(&ss), len) != 0) {
    if (errno != EINPROGRESS) return fail(errno);
  } else {
    done = true;
  }
  return s;
}

// The pending error of a socket whose connect has ended one way or the other.
int connect_result(int fd) {
  int pending = 0;
  socklen_t plen = sizeof pending;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &plen) != 0) return ETIMEDOUT;
  return pending;
}

}  // namespace

void connect_together(const ConnectRequest* requests, ConnectOutcome* out, int count, int limit_seconds) {
  std::vector<Fd> socks(static_cast<size_t>(count));
  std::vector<int> flags(static_cast<size_t>(count), 0);
  std::vector<char> waiting(static_cast<size_t>(count), 0);
  for (int i = 0; i < count; ++i) {
    out[i] = ConnectOutcome();
    bool done = false;
    socks[i] = start_connect(requests[i], out[i], flags[i], done);
    waiting[i] = socks[i].valid() && !done;
  }
  const int limit_ms = seconds_to_ms(limit_seconds);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms < 0 ? 0 : limit_ms);
  std::vector<pollfd> p;
  std::vector<int> which;
  for (;;) {
    p.clear();
    which.clear();
    for (int i = 0; i < count; ++i) {
      if (!waiting[i]) continue;
      p.push_back(pollfd{socks[i].get(), POLLIN | POLLOUT, 0});
      which.push_back(i);
    }
    if (p.empty()) break;
    int wait_ms = -1;
    if (limit_ms >= 0) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      wait_ms = left.count() <= 0 ? 0 : static_cast<int>(left.count() > INT_MAX ? INT_MAX : left.count());
    }
    const int r = ::poll(p.data(), static_cast<nfds_t>(p.size()), wait_ms);
    if (r < 0 && errno == EINTR) continue;
    const int wait_error = errno;
    for (size_t k = 0; k < p.size(); ++k) {
      const int i = which[k];
      if (r < 0) {
        out[i].error = wait_error;
      } else if (p[k].revents != 0) {
        out[i].error = connect_result(socks[i].get());
      } else if (wait_ms == 0 || std::chrono::steady_clock::now() >= deadline) {
        out[i].error = ETIMEDOUT;
      } else {
        continue;
      }
      waiting[i] = 0;
      if (out[i].error != 0) socks[i].reset();
    }
  }
  for (int i = 0; i < count; ++i) {
    if (!socks[i].valid()) continue;
    // The connected socket is blocking again, as its users expect.
    if (fcntl(socks[i].get(), F_SETFL, flags[i]) < 0) {
      out[i].error = errno;
      continue;
    }
    out[i].conn = Connection(std::move(socks[i]));
  }
}

ConnectOutcome connect_timed(const char* host, uint16_t port, const char* local_address, uint16_t local_port,
                             int limit_seconds) {
  const ConnectRequest one{host, port, local_address, local_port};
  ConnectOutcome out;
  connect_together(&one, &out, 1, limit_seconds);
  return out;
}

ConnectOutcome connect_timed(const Address& to, const char* local_address, int limit_seconds) {
  std::string host = to.host();
  return connect_timed(host.c_str(), to.port(), local_address, 0, limit_seconds);
}

AcceptOutcome Listener::accept(int limit_seconds) {
  return accept_within_ms(limit_seconds > 0 ? seconds_to_ms(limit_seconds) : -1);
}

AcceptOutcome Listener::accept_within_ms(int limit_ms) {
  AcceptOutcome out;
  const int listen_fd = fd_.get();
  int flags = fcntl(listen_fd, F_GETFL);
  if (flags < 0 || fcntl(listen_fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    out.status = AcceptStatus::kFailed;
    out.error = errno;
    return out;
  }
  pollfd p{listen_fd, POLLIN, 0};
  int ready;
  do ready = ::poll(&p, 1, limit_ms);
  while (ready < 0 && errno == EINTR);
  if (ready <= 0) {
    fcntl(listen_fd, F_SETFL, flags);
    return out;
  }
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  int fd = ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    fcntl(listen_fd, F_SETFL, flags);
    if (passing_accept_error(err)) {
      // The refused connection stays pending, so the next wait would return at
      // once; a short pause keeps a full descriptor table from spinning the loop.
      if (descriptor_shortage(err)) ::poll(nullptr, 0, kAcceptShortagePauseMs);
      return out;
    }
    out.status = AcceptStatus::kFailed;
    out.error = err;
    return out;
  }
  Fd accepted(fd);
  // The accepted socket must not inherit the wait's non-blocking mode.
  int aflags = fcntl(fd, F_GETFL);
  if (aflags >= 0) fcntl(fd, F_SETFL, aflags & ~O_NONBLOCK);
  if (fcntl(listen_fd, F_SETFL, flags) < 0) {
    out.status = AcceptStatus::kFailed;
    out.error = errno;
    return out;
  }
  std::optional<Address> who = Address::from_sockaddr(reinterpret_cast<sockaddr*>(&peer), len);
  if (!who) return out;  // not a family the daemon serves: as if it had vanished
  out.status = AcceptStatus::kAccepted;
  out.peer = *who;
  out.conn = Connection(std::move(accepted));
  return out;
}

int line_length(const char* text, int bound) {
  if (text == nullptr || bound <= 0) return -1;
  const void* lf = std::memchr(text, '\n', bound);
  if (lf == nullptr) return -1;
  return static_cast<int>(static_cast<const char*>(lf) - text) + 1;
}

}  // namespace ferrynet
