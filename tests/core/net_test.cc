// The network primitives, on 127.0.0.1 only.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "ferrynet/core/fd.h"
#include "ferrynet/core/net.h"
#include "tests/core/core_test_support.h"

using core_test::now_seconds;
using ferrynet::Fd;

namespace {

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

std::unique_ptr<ferrynet::Listener> loopback_listener() {
  auto l = ferrynet::create_listener("127.0.0.1", 0);
  EXPECT_NE(l, nullptr);
  return l;
}

Fd connect_to(uint16_t port) {
  sockaddr_in peer{};
  return Fd(ferrynet::connect_timed(&peer, "127.0.0.1", port, nullptr, 0, 5));
}

// A connected pair over loopback TCP: {our end, the accepted end}.
std::pair<Fd, Fd> tcp_pair() {
  auto l = loopback_listener();
  Fd ours = connect_to(l->port);
  sockaddr_in peer{};
  Fd theirs(ferrynet::accept_timed(l->fd.get(), &peer, 5));
  return {std::move(ours), std::move(theirs)};
}

bool blocking(int fd) { return (fcntl(fd, F_GETFL) & O_NONBLOCK) == 0; }

TEST(Resolve, DottedQuadAndLocalName) {
  EXPECT_EQ(ferrynet::resolve_host("127.0.0.1"), kLoopback);
  EXPECT_EQ(ferrynet::resolve_host("localhost"), kLoopback);
  EXPECT_EQ(ferrynet::resolve_host(""), 0u);
  EXPECT_EQ(ferrynet::resolve_host(nullptr), 0u);
  std::optional<std::string> me = ferrynet::local_host_address();
  ASSERT_TRUE(me.has_value());
  in_addr a{};
  EXPECT_EQ(inet_pton(AF_INET, me->c_str(), &a), 1) << *me;
  EXPECT_EQ(ferrynet::dotted_quad(htonl(0xC0A80102)), "192.168.1.2");
}

TEST(Listen, AnyAddressLoopbackAndSystemChosenPort) {
  for (const char* any : {static_cast<const char*>(nullptr), "*"}) {
    auto l = ferrynet::create_listener(any, 0);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->addr.sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_NE(l->port, 0);
    EXPECT_EQ(l->port, ntohs(l->addr.sin_port));
  }
  auto l = loopback_listener();
  EXPECT_EQ(l->addr.sin_addr.s_addr, kLoopback);
  EXPECT_TRUE(connect_to(l->port).valid());
  EXPECT_EQ(ferrynet::create_listener("", 0), nullptr);
  EXPECT_EQ(ferrynet::create_listener("127.0.0.1", l->port), nullptr) << "a port in use is refused";
}

TEST(Listen, BindLocal) {
  Fd s(::socket(AF_INET, SOCK_STREAM, 0));
  EXPECT_EQ(ferrynet::bind_local(s.get(), "*", 0), 1);
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len);
  EXPECT_EQ(a.sin_port, 0) << "nothing to do means no bind";
  EXPECT_EQ(ferrynet::bind_local(s.get(), "127.0.0.1", 0), 1);
  getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len);
  EXPECT_EQ(a.sin_addr.s_addr, kLoopback);
  Fd t(::socket(AF_INET, SOCK_STREAM, 0));
  EXPECT_EQ(ferrynet::bind_local(t.get(), "", 0), 0);
}

TEST(Connect, RefusedReportsTheReasonAndLeaksNothing) {
  uint16_t port = core_test::free_port();
  int before = core_test::open_descriptor_count();
  sockaddr_in out{};
  errno = 0;
  EXPECT_EQ(ferrynet::connect_timed(&out, "127.0.0.1", port, nullptr, 0, 5), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
  EXPECT_EQ(ferrynet::connect_timed(&out, "", port, nullptr, 0, 5), -1);
  EXPECT_EQ(ferrynet::connect_timed(&out, "127.0.0.1", port, "", 0, 5), -1);
  EXPECT_EQ(core_test::open_descriptor_count(), before);
}

TEST(Connect, ConnectedSocketIsBlockingAndBoundAsAsked) {
  auto l = loopback_listener();
  sockaddr_in out{};
  Fd s(ferrynet::connect_timed(&out, "127.0.0.1", l->port, "127.0.0.1", 0, 5));
  ASSERT_TRUE(s.valid());
  EXPECT_TRUE(blocking(s.get()));
  EXPECT_EQ(out.sin_family, AF_INET);
  EXPECT_EQ(out.sin_addr.s_addr, kLoopback);
  EXPECT_EQ(ntohs(out.sin_port), l->port);
}

TEST(Connect, TimesOutOnAListenerWithAFullBacklog) {
  // Linux drops the handshake once the accept queue is full, so the connect
  // below never completes: a time-out made on loopback alone.
  Fd l(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = kLoopback;
  socklen_t len = sizeof a;
  ASSERT_EQ(::bind(l.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(l.get(), 0), 0);
  getsockname(l.get(), reinterpret_cast<sockaddr*>(&a), &len);
  uint16_t port = ntohs(a.sin_port);
  std::vector<Fd> queued;
  double took = 0;
  int err = 0;
  for (int i = 0; i < 8 && err != ETIMEDOUT; ++i) {
    sockaddr_in out{};
    double start = now_seconds();
    int fd = ferrynet::connect_timed(&out, "127.0.0.1", port, nullptr, 0, 1);
    took = now_seconds() - start;
    if (fd >= 0)
      queued.emplace_back(fd);
    else
      err = errno;
  }
  ASSERT_EQ(err, ETIMEDOUT);
  EXPECT_GE(took, 0.9);
  EXPECT_LT(took, 3.0);

  sockaddr_in out{};
  double start = now_seconds();
  EXPECT_EQ(ferrynet::connect_timed(&out, "127.0.0.1", port, nullptr, 0, 0), -1);
  EXPECT_EQ(errno, ETIMEDOUT);
  EXPECT_LT(now_seconds() - start, 0.5) << "a limit of 0 does not wait";
}

TEST(Accept, TimesOutWithNothingPendingAndKeepsTheListenerBlocking) {
  auto l = loopback_listener();
  sockaddr_in peer{};
  double start = now_seconds();
  EXPECT_EQ(ferrynet::accept_timed(l->fd.get(), &peer, 1), 0);
  EXPECT_GE(now_seconds() - start, 0.9);
  EXPECT_TRUE(blocking(l->fd.get()));
}

TEST(Accept, ReturnsTheConnectionWithItsPeer) {
  auto l = loopback_listener();
  Fd client = connect_to(l->port);
  sockaddr_in mine{};
  socklen_t len = sizeof mine;
  getsockname(client.get(), reinterpret_cast<sockaddr*>(&mine), &len);
  sockaddr_in peer{};
  Fd s(ferrynet::accept_timed(l->fd.get(), &peer, 5));
  ASSERT_GT(s.get(), 0);
  EXPECT_EQ(peer.sin_port, mine.sin_port);
  EXPECT_EQ(peer.sin_addr.s_addr, kLoopback);
  EXPECT_TRUE(blocking(s.get()));
  EXPECT_TRUE(blocking(l->fd.get()));
  EXPECT_EQ(ferrynet::accept_timed(-1, &peer, 1), -1);
}

TEST(Accept, NeverHandsOutAConnectionAsDescriptorZero) {
  // 0 means "no connection"; with standard input closed accept() picks 0.
  auto l = loopback_listener();
  Fd client = connect_to(l->port);
  int saved = dup(0);
  ::close(0);
  sockaddr_in peer{};
  int fd = ferrynet::accept_timed(l->fd.get(), &peer, 5);
  dup2(saved, 0);
  ::close(saved);
  ASSERT_GT(fd, 0);
  EXPECT_EQ(::send(fd, "x", 1, 0), 1);
  char c = 0;
  EXPECT_EQ(::recv(client.get(), &c, 1, 0), 1);
  ::close(fd);
}

TEST(Accept, FullDescriptorTableIsAPassingFailure) {
  // In a child: the descriptor limit is lowered and used up, which must not
  // look like a broken listener (that would shut the daemon down).
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto l = ferrynet::create_listener("127.0.0.1", 0);
    Fd client = connect_to(l->port);
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = 64;
    setrlimit(RLIMIT_NOFILE, &lim);
    int last = -1;
    for (int fd; (fd = dup(l->fd.get())) >= 0;) last = fd;
    sockaddr_in peer{};
    int full = ferrynet::accept_timed(l->fd.get(), &peer, 1);
    ::close(last);
    int later = ferrynet::accept_timed(l->fd.get(), &peer, 1);
    _exit(full == 0 && later > 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(Wait, ReadableOrTimeOut) {
  auto [a, b] = tcp_pair();
  double start = now_seconds();
  errno = 0;
  EXPECT_EQ(ferrynet::wait_readable(b.get(), 1), -1);
  EXPECT_EQ(errno, ETIMEDOUT);
  EXPECT_GE(now_seconds() - start, 0.9);
  ASSERT_EQ(::send(a.get(), "x", 1, 0), 1);
  EXPECT_EQ(ferrynet::wait_readable(b.get(), 5), 1);
  EXPECT_TRUE(blocking(b.get()));
}

TEST(ReadLine, LinesEndOfStreamAndLimits) {
  auto [a, b] = tcp_pair();
  char buf[16];
  ASSERT_EQ(::send(a.get(), "x\r\nsecond\n", 10, 0), 10);
  EXPECT_EQ(ferrynet::read_line(b.get(), buf, 15, 5), 3);
  EXPECT_EQ(std::string(buf, 4), std::string("x\r\n\0", 4));
  EXPECT_EQ(ferrynet::read_line(b.get(), buf, 15, 5), 7) << "one byte at a time leaves the next line unread";
  EXPECT_STREQ(buf, "second\n");

  ASSERT_EQ(::send(a.get(), "0123456789ABCDEF\n", 17, 0), 17);
  EXPECT_EQ(ferrynet::read_line(b.get(), buf, 15, 5), -1) << "longer than size";
  EXPECT_EQ(std::string(buf), "0123456789ABCDE");
  EXPECT_EQ(ferrynet::read_line(b.get(), buf, 0, 5), -1);

  auto [c, d] = tcp_pair();
  ASSERT_EQ(::send(c.get(), "abc", 3, 0), 3);
  c.reset();
  EXPECT_EQ(ferrynet::read_line(d.get(), buf, 15, 5), 0);
}

TEST(ReadLine, SilentPeerIsHeldNoLongerThanTheDeadline) {
  auto [a, b] = tcp_pair();
  char buf[16];
  ASSERT_EQ(::send(a.get(), "ab", 2, 0), 2);
  double start = now_seconds();
  EXPECT_EQ(ferrynet::read_line(b.get(), buf, 15, 1), -1);
  double took = now_seconds() - start;
  EXPECT_GE(took, 0.9);
  EXPECT_LT(took, 3.0);
}

TEST(LineLength, BoundAndZeroBytes) {
  std::string text(16384, 'a');
  EXPECT_EQ(ferrynet::line_length(text.data(), 16384), -1);
  text[16383] = '\n';
  EXPECT_EQ(ferrynet::line_length(text.data(), 16384), 16384);
  EXPECT_EQ(ferrynet::line_length(text.data(), 16383), -1) << "a line end past the bound is not seen";
  const char zeros[] = {'a', '\0', '\0', '\n', 'b'};
  EXPECT_EQ(ferrynet::line_length(zeros, 5), 4);
  EXPECT_EQ(ferrynet::line_length(zeros, 0), -1);
  EXPECT_EQ(ferrynet::line_length(zeros, -5), -1);
}

TEST(SendLine, CutAt1024AndFailureOnClosedPeer) {
  auto [a, b] = tcp_pair();
  std::string big;
  for (int i = 0; i < 2000; ++i) big += static_cast<char>('a' + i % 26);
  EXPECT_EQ(ferrynet::send_line(a.get(), "%s\r\n", big.c_str()), 1024);
  EXPECT_EQ(ferrynet::send_line(a.get(), "SITE SHOWPID\r\n"), 14);
  a.reset();
  std::string got;
  char chunk[4096];
  for (ssize_t n; (n = ::recv(b.get(), chunk, sizeof chunk, 0)) > 0;) got.append(chunk, n);
  EXPECT_EQ(got, big.substr(0, 1024) + "SITE SHOWPID\r\n");

  // The peer is gone: the send fails instead of raising SIGPIPE.
  auto [c, d] = tcp_pair();
  d.reset();
  long r = 0;
  for (int i = 0; i < 50 && r >= 0; ++i) r = ferrynet::send_line(c.get(), "%s\n", big.c_str());
  EXPECT_EQ(r, -1);
}

TEST(HighDescriptors, WaitsWorkAbove1023) {
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  if (lim.rlim_max < 2048) GTEST_SKIP() << "descriptor limit too low";
  rlimit raised = lim;
  raised.rlim_cur = 2048;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);

  auto l = loopback_listener();
  Fd high_listener(fcntl(l->fd.get(), F_DUPFD_CLOEXEC, 1500));
  ASSERT_GE(high_listener.get(), 1500);
  // Push the primitives' own sockets above 1023 too.
  Fd null_fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  std::vector<Fd> filler;
  while (true) {
    Fd f(fcntl(null_fd.get(), F_DUPFD_CLOEXEC, 0));
    if (!f.valid() || f.get() > 1100) break;
    filler.push_back(std::move(f));
  }
  sockaddr_in out{};
  Fd client(ferrynet::connect_timed(&out, "127.0.0.1", l->port, nullptr, 0, 5));
  ASSERT_GT(client.get(), 1023);
  sockaddr_in peer{};
  Fd served(ferrynet::accept_timed(high_listener.get(), &peer, 5));
  ASSERT_GT(served.get(), 1023);
  EXPECT_EQ(ferrynet::send_line(client.get(), "AUTH %s@%s\n", "user", "127.0.0.1"), 20);
  char buf[64];
  EXPECT_EQ(ferrynet::wait_readable(served.get(), 5), 1);
  EXPECT_EQ(ferrynet::read_line(served.get(), buf, 63, 5), 20);
  EXPECT_STREQ(buf, "AUTH user@127.0.0.1\n");
  bool ready[2] = {};
  int fds[2] = {client.get(), served.get()};
  EXPECT_EQ(ferrynet::wait_any_readable(fds, 2, 100, ready), 0);

  filler.clear();
  high_listener.reset();
  served.reset();
  client.reset();
  setrlimit(RLIMIT_NOFILE, &lim);
}

}  // namespace
