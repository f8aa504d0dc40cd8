// The network primitives, on 127.0.0.1 only.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <arpa/inet.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ferrynet/core/fd.h"
#include "ferrynet/core/net.h"
#include "tests/core/core_test_support.h"

using core_test::now_seconds;
using ferrynet::Address;
using ferrynet::Connection;
using ferrynet::Fd;
using ferrynet::Listener;

namespace {

std::unique_ptr<ferrynet::Listener> loopback_listener() {
  auto l = ferrynet::create_listener("127.0.0.1", 0);
  EXPECT_NE(l, nullptr);
  return l;
}

Connection connect_to(uint16_t port) { return ferrynet::connect_timed("127.0.0.1", port, nullptr, 0, 5).conn; }

Connection accept_from(Listener& l, int limit = 5) { return l.accept(limit).conn; }

// A connected pair over loopback TCP: {our end, the accepted end}.
std::pair<Connection, Connection> tcp_pair() {
  auto l = loopback_listener();
  Connection ours = connect_to(l->port);
  Connection theirs = accept_from(*l);
  return {std::move(ours), std::move(theirs)};
}

bool sends(Connection& c, const char* text) { return c.write_all(text, std::strlen(text), 5000); }

TEST(Resolve, DottedQuadAndLocalName) {
  EXPECT_EQ(ferrynet::resolve_host("127.0.0.1")->host(), "127.0.0.1");
  EXPECT_EQ(ferrynet::resolve_host("localhost")->host(), "127.0.0.1");
  EXPECT_FALSE(ferrynet::resolve_host(""));
  EXPECT_FALSE(ferrynet::resolve_host(nullptr));
  std::optional<std::string> me = ferrynet::local_host_address();
  ASSERT_TRUE(me.has_value());
  in_addr a{};
  EXPECT_EQ(inet_pton(AF_INET, me->c_str(), &a), 1) << *me;
  EXPECT_EQ(Address::ipv4(htonl(0xC0A80102), 21).host(), "192.168.1.2");
  EXPECT_EQ(Address::parse("::1", 990)->host(), "::1");
  int quad[4];
  EXPECT_FALSE(Address::parse("::1", 0)->quad(quad)) << "no dotted quad for IPv6";
}

TEST(Listen, AnyAddressLoopbackAndSystemChosenPort) {
  for (const char* any : {static_cast<const char*>(nullptr), "*"}) {
    auto l = ferrynet::create_listener(any, 0);
    ASSERT_NE(l, nullptr);
    EXPECT_TRUE(l->addr.is_any());
    EXPECT_NE(l->port, 0);
    EXPECT_EQ(l->port, l->addr.port());
  }
  auto l = loopback_listener();
  EXPECT_EQ(l->addr.host(), "127.0.0.1");
  EXPECT_TRUE(connect_to(l->port).valid());
  EXPECT_EQ(ferrynet::create_listener("", 0), nullptr);
  EXPECT_EQ(ferrynet::create_listener("127.0.0.1", l->port), nullptr) << "a port in use is refused";
}

TEST(Connect, RefusedReportsTheReasonAndLeaksNothing) {
  uint16_t port = core_test::free_port();
  int before = core_test::open_descriptor_count();
  ferrynet::ConnectOutcome refused = ferrynet::connect_timed("127.0.0.1", port, nullptr, 0, 5);
  EXPECT_FALSE(refused.ok());
  EXPECT_EQ(refused.error, ECONNREFUSED);
  EXPECT_FALSE(ferrynet::connect_timed("", port, nullptr, 0, 5).ok());
  EXPECT_FALSE(ferrynet::connect_timed("127.0.0.1", port, "", 0, 5).ok()) << "an unusable local address";
  EXPECT_EQ(core_test::open_descriptor_count(), before);
}

TEST(Connect, ConnectedFromTheLocalAddressAskedAndNamesBothEnds) {
  auto l = loopback_listener();
  ferrynet::ConnectOutcome out = ferrynet::connect_timed("127.0.0.1", l->port, "127.0.0.2", 0, 5);
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(out.to.host(), "127.0.0.1");
  EXPECT_EQ(out.to.port(), l->port);
  EXPECT_EQ(out.conn.local()->host(), "127.0.0.2");
  ferrynet::AcceptOutcome in = l->accept(5);
  ASSERT_EQ(in.status, ferrynet::AcceptStatus::kAccepted);
  EXPECT_EQ(in.peer.host(), "127.0.0.2");
  EXPECT_EQ(in.peer.port(), out.conn.local()->port());
  EXPECT_EQ(in.conn.peer()->port(), in.peer.port());
}

TEST(Connect, TimesOutOnAListenerWithAFullBacklog) {
  // Linux drops the handshake once the accept queue is full, so the connect
  // below never completes: a time-out made on loopback alone.
  Fd l(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(::bind(l.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(l.get(), 0), 0);
  getsockname(l.get(), reinterpret_cast<sockaddr*>(&a), &len);
  uint16_t port = ntohs(a.sin_port);
  std::vector<Connection> queued;
  double took = 0;
  int err = 0;
  for (int i = 0; i < 8 && err != ETIMEDOUT; ++i) {
    double start = now_seconds();
    ferrynet::ConnectOutcome out = ferrynet::connect_timed("127.0.0.1", port, nullptr, 0, 1);
    took = now_seconds() - start;
    if (out.ok())
      queued.push_back(std::move(out.conn));
    else
      err = out.error;
  }
  ASSERT_EQ(err, ETIMEDOUT);
  EXPECT_GE(took, 0.9);
  EXPECT_LT(took, 3.0);

  double start = now_seconds();
  EXPECT_EQ(ferrynet::connect_timed("127.0.0.1", port, nullptr, 0, 0).error, ETIMEDOUT);
  EXPECT_LT(now_seconds() - start, 0.5) << "a limit of 0 does not wait";
}

TEST(Accept, TimesOutWithNothingPendingAndThenTakesTheNextConnection) {
  auto l = loopback_listener();
  double start = now_seconds();
  EXPECT_EQ(l->accept(1).status, ferrynet::AcceptStatus::kNothing);
  EXPECT_GE(now_seconds() - start, 0.9);
  Connection client = connect_to(l->port);
  ferrynet::AcceptOutcome in = l->accept(5);
  ASSERT_EQ(in.status, ferrynet::AcceptStatus::kAccepted);
  EXPECT_EQ(in.peer.port(), client.local()->port());
  EXPECT_TRUE(sends(client, "x"));
  char c = 0;
  EXPECT_EQ(in.conn.read_some(&c, 1, 5000), 1) << "the accepted connection waits for its bytes";
}

TEST(Accept, FullDescriptorTableIsAPassingFailure) {
  // In a child: the descriptor limit is lowered and used up, which must not
  // look like a broken listener (that would shut the daemon down).
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto l = ferrynet::create_listener("127.0.0.1", 0);
    Connection client = connect_to(l->port);
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = 64;
    setrlimit(RLIMIT_NOFILE, &lim);
    Fd null_fd(::open("/dev/null", O_RDONLY));
    int last = -1;
    for (int fd; (fd = dup(null_fd.get())) >= 0;) last = fd;
    ferrynet::AcceptStatus full = l->accept(1).status;
    ::close(last);
    ferrynet::AcceptStatus later = l->accept(1).status;
    _exit(full == ferrynet::AcceptStatus::kNothing && later == ferrynet::AcceptStatus::kAccepted ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(Wait, ReadableOrTimeOut) {
  auto [a, b] = tcp_pair();
  double start = now_seconds();
  errno = 0;
  EXPECT_EQ(b.wait_readable(1), -1);
  EXPECT_EQ(errno, ETIMEDOUT);
  EXPECT_GE(now_seconds() - start, 0.9);
  char c;
  start = now_seconds();
  EXPECT_EQ(b.read_some(&c, 1, 300), -1);
  EXPECT_EQ(errno, EAGAIN) << "nothing within the limit";
  EXPECT_GE(now_seconds() - start, 0.25);
  ASSERT_TRUE(sends(a, "x"));
  EXPECT_EQ(b.wait_readable(5), 1);
}

TEST(WriteAll, PeerThatReadsNothingFailsTheWriteAfterItsIdleLimit) {
  auto [a, b] = tcp_pair();
  std::string big(64 << 20, 'z');
  double start = now_seconds();
  errno = 0;
  EXPECT_FALSE(a.write_all(big, 500)) << "socket buffers cannot hold 64 MiB";
  EXPECT_EQ(errno, ETIMEDOUT);
  double took = now_seconds() - start;
  EXPECT_GE(took, 0.45);
  EXPECT_LT(took, 5.0);

  // A reader that drains slowly keeps a long write alive: the limit is per stall.
  auto [c, d] = tcp_pair();
  std::string data(8 << 20, 'q');
  for (size_t i = 0; i < data.size(); i += 4099) data[i] = static_cast<char>('a' + i % 26);
  std::string got;
  std::thread reader([&d = d, &got] {
    char chunk[65536];
    for (long n; (n = d.read_some(chunk, sizeof chunk, 5000)) > 0;) {
      got.append(chunk, static_cast<size_t>(n));
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  EXPECT_TRUE(c.write_all(data, 2000));
  c.shutdown_write();
  reader.join();
  EXPECT_TRUE(got == data) << "partial writes resumed byte for byte";
}

TEST(ReadLine, LinesEndOfStreamAndLimits) {
  auto [a, b] = tcp_pair();
  char buf[16] = {};  // read_line fills only `size` bytes: the last stays the terminator
  ASSERT_TRUE(sends(a, "x\r\nsecond\n"));
  EXPECT_EQ(b.read_line(buf, 15, 5), 3);
  EXPECT_EQ(std::string(buf, 4), std::string("x\r\n\0", 4));
  EXPECT_EQ(b.read_line(buf, 15, 5), 7) << "one byte at a time leaves the next line unread";
  EXPECT_STREQ(buf, "second\n");

  ASSERT_TRUE(sends(a, "0123456789ABCDEF\n"));
  EXPECT_EQ(b.read_line(buf, 15, 5), -1) << "longer than size";
  EXPECT_EQ(std::string(buf), "0123456789ABCDE");
  EXPECT_EQ(b.read_line(buf, 0, 5), -1);

  auto [c, d] = tcp_pair();
  ASSERT_TRUE(sends(c, "abc"));
  c.close();
  EXPECT_EQ(d.read_line(buf, 15, 5), 0);
}

TEST(ReadLine, SilentPeerIsHeldNoLongerThanTheDeadline) {
  auto [a, b] = tcp_pair();
  char buf[16];
  ASSERT_TRUE(sends(a, "ab"));
  double start = now_seconds();
  EXPECT_EQ(b.read_line(buf, 15, 1), -1);
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
  EXPECT_EQ(a.send_line("%s\r\n", big.c_str()), 1024);
  EXPECT_EQ(a.send_line("SITE SHOWPID\r\n"), 14);
  a.close();
  std::string got;
  char chunk[4096];
  for (long n; (n = b.read_some(chunk, sizeof chunk, 5000)) > 0;) got.append(chunk, static_cast<size_t>(n));
  EXPECT_EQ(got, big.substr(0, 1024) + "SITE SHOWPID\r\n");

  // The peer is gone: the send fails instead of raising SIGPIPE.
  auto [c, d] = tcp_pair();
  d.close();
  long r = 0;
  for (int i = 0; i < 50 && r >= 0; ++i) r = c.send_line("%s\n", big.c_str());
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
  std::unique_ptr<Listener> high_listener = l->duplicate_at(1500);
  ASSERT_NE(high_listener, nullptr);
  // Push the primitives' own sockets above 1023 too.
  Fd null_fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  std::vector<Fd> filler;
  while (true) {
    Fd f(fcntl(null_fd.get(), F_DUPFD_CLOEXEC, 0));
    if (!f.valid() || f.get() > 1100) break;
    filler.push_back(std::move(f));
  }
  Connection client = connect_to(l->port);
  ASSERT_TRUE(client.valid());
  Connection served = accept_from(*high_listener);
  ASSERT_TRUE(served.valid());
  EXPECT_EQ(client.send_line("AUTH %s@%s\n", "user", "127.0.0.1"), 20);
  char buf[64];
  EXPECT_EQ(served.wait_readable(5), 1);
  EXPECT_EQ(served.read_line(buf, 63, 5), 20);
  EXPECT_STREQ(buf, "AUTH user@127.0.0.1\n");
  bool ready[2] = {};
  Connection* const both[2] = {&client, &served};
  EXPECT_EQ(ferrynet::wait_any_readable(both, 2, 100, ready), 0);

  filler.clear();
  high_listener.reset();
  served.close();
  client.close();
  setrlimit(RLIMIT_NOFILE, &lim);
}

}  // namespace
