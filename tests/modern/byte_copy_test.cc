// The plain copy of a data connection: every byte, both ways, and the end.
#include "ferrynet/data/byte_copy.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <random>
#include <string>
#include <thread>

#include "tests/data/data_test_support.h"

namespace {

std::string random_bytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& ch : s) ch = static_cast<char>(gen());
  return s;
}

struct Pair {
  int fd[2];
  Pair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
  ~Pair() {
    ::close(fd[0]);
    ::close(fd[1]);
  }
};

// The copy over connections of its own to the two sockets.
long long copy(int a, int b) {
  ferrynet::Connection ca(ferrynet::Fd(::dup(a))), cb(ferrynet::Fd(::dup(b)));
  return ferrynet::copy_bytes(ca, cb);
}

TEST(CopyBytes, CarriesLargeBinaryDataUnchangedEachWay) {
  // Lines, CR LF, NULs and "total" at the start: nothing may be filtered.
  const std::string down = "total 5\r\n" + std::string("\0\r\n\n\r", 5) + random_bytes(3 << 20, 1);
  const std::string up = random_bytes((1 << 20) + 7, 2);
  for (bool upload : {false, true}) {
    Pair site, client;
    const std::string& body = upload ? up : down;
    int from = upload ? client.fd[0] : site.fd[0];
    int to = upload ? site.fd[0] : client.fd[0];
    auto copied = std::async(std::launch::async, [&] { return copy(site.fd[1], client.fd[1]); });
    std::thread writer([&] {
      data_test::send_in_pieces(from, body, 100000);
      ::shutdown(from, SHUT_WR);
    });
    std::string got = data_test::read_all(to);
    ::shutdown(to, SHUT_WR);  // as a site closes once an upload is in
    writer.join();
    EXPECT_EQ(copied.get(), static_cast<long long>(body.size()));
    EXPECT_TRUE(got == body) << "upload " << upload << ": " << got.size() << " of " << body.size() << " bytes";
  }
}

TEST(CopyBytes, EndsAtAPeerThatLeftAndReportsAFailedWrite) {
  {
    Pair site, client;
    ::close(client.fd[0]);
    client.fd[0] = -1;
    // The client's end goes on to the site; what the site still sends finds
    // the client gone, which ends the copy as the client's leaving, no failure.
    data_test::LogCapture quiet;
    auto copied = std::async(std::launch::async, [&] { return copy(site.fd[1], client.fd[1]); });
    char c;
    ASSERT_TRUE(data_test::readable_within(site.fd[0], 5000));
    EXPECT_EQ(::read(site.fd[0], &c, 1), 0);
    data_test::send_in_pieces(site.fd[0], random_bytes(100000, 7), 10000);  // fits the socket buffers
    ::shutdown(site.fd[0], SHUT_WR);
    EXPECT_GE(copied.get(), 0);
    EXPECT_EQ(quiet.text().find("error"), std::string::npos) << quiet.text();
  }
  // A client that reads no more but has not closed: the copy's write fails.
  Pair site, client;
  ::shutdown(client.fd[0], SHUT_RD);
  data_test::LogCapture log;
  std::thread writer([&] { data_test::send_in_pieces(site.fd[0], random_bytes(1 << 20, 3), 65536); });
  EXPECT_EQ(copy(site.fd[1], client.fd[1]), -1);
  ::shutdown(site.fd[1], SHUT_RDWR);
  writer.join();
  EXPECT_NE(log.text().find("unexpected write() error occured in data bounce routine"), std::string::npos);
}

// Two connected TCP sockets on the loopback address: the kernel splices
// these by the TCP code, the socket pairs above by the Unix socket code.
struct TcpPair {
  int fd[2] = {-1, -1};
  TcpPair() {
    uint16_t port;
    int l = data_test::listen_loopback(&port);
    fd[0] = data_test::connect_loopback(port);
    fd[1] = ::accept(l, nullptr, nullptr);
    ::close(l);
  }
  ~TcpPair() {
    ::close(fd[0]);
    ::close(fd[1]);
  }
};

template <class P>
void expect_exact_copy(ferrynet::CopyPath path) {
  const std::string down = random_bytes((4 << 20) + 3, 4), up = random_bytes((2 << 20) + 5, 5);
  for (bool upload : {false, true}) {
    P site, client;
    const std::string& body = upload ? up : down;
    const int from = upload ? client.fd[0] : site.fd[0];
    const int to = upload ? site.fd[0] : client.fd[0];
    // The copy's own end on the receiving side, shut for writing once the
    // copy is done, so that the reader sees end of file.
    const int to_peer = upload ? site.fd[1] : client.fd[1];
    auto copied = std::async(std::launch::async, [&] {
      ferrynet::Connection ca(ferrynet::Fd(::dup(site.fd[1]))), cb(ferrynet::Fd(::dup(client.fd[1])));
      long long n = ferrynet::copy_bytes(ca, cb, path);
      ::shutdown(to_peer, SHUT_WR);
      return n;
    });
    auto got = std::async(std::launch::async, [&] {
      std::string all = data_test::read_all(to);
      ::shutdown(to, SHUT_WR);
      return all;
    });
    data_test::send_in_pieces(from, body, 300000);
    ::shutdown(from, SHUT_WR);
    EXPECT_EQ(copied.get(), static_cast<long long>(body.size()));
    const std::string received = got.get();
    EXPECT_TRUE(received == body) << "upload " << upload << ": " << received.size() << " of " << body.size();
  }
}

TEST(CopyBytes, ExactEachWayThroughTheKernelAndThroughABufferOverTcpAndUnixSockets) {
  expect_exact_copy<TcpPair>(ferrynet::CopyPath::kKernel);
  expect_exact_copy<Pair>(ferrynet::CopyPath::kKernel);
  expect_exact_copy<TcpPair>(ferrynet::CopyPath::kUserSpace);
  expect_exact_copy<Pair>(ferrynet::CopyPath::kUserSpace);
}

TEST(CopyBytes, AClientThatHalfClosesFirstStillGetsTheWholeDownloadAndTheSiteSeesItsEnd) {
  for (auto path : {ferrynet::CopyPath::kKernel, ferrynet::CopyPath::kUserSpace}) {
    TcpPair site, client;
    const std::string body = random_bytes((3 << 20) + 11, 6);
    ::shutdown(client.fd[0], SHUT_WR);
    auto copied = std::async(std::launch::async, [&] {
      ferrynet::Connection ca(ferrynet::Fd(::dup(site.fd[1]))), cb(ferrynet::Fd(::dup(client.fd[1])));
      long long n = ferrynet::copy_bytes(ca, cb, path);
      ::shutdown(client.fd[1], SHUT_WR);
      return n;
    });
    // The client's end reaches the site before the file does.
    char c;
    ASSERT_TRUE(data_test::readable_within(site.fd[0], 5000));
    EXPECT_EQ(::read(site.fd[0], &c, 1), 0);
    auto got = std::async(std::launch::async, [&] { return data_test::read_all(client.fd[0]); });
    data_test::send_in_pieces(site.fd[0], body, 250000);
    ::shutdown(site.fd[0], SHUT_WR);
    EXPECT_EQ(copied.get(), static_cast<long long>(body.size()));
    const std::string received = got.get();
    EXPECT_TRUE(received == body) << received.size() << " of " << body.size();
  }
}

TEST(Splicer, ServesPlainSocketsGivesTheirModesBackAndBoundsTheWaitForATaker) {
  TcpPair a, b;
  {
    ferrynet::Connection ca(ferrynet::Fd(::dup(a.fd[1]))), cb(ferrynet::Fd(::dup(b.fd[1])));
    ferrynet::Splicer splicer(ca, cb);
    // Here the kernel path is the one taken, so the copies above tried it.
    ASSERT_TRUE(splicer.ready());
    ASSERT_EQ(::send(a.fd[0], "abc", 3, 0), 3);
    ::shutdown(a.fd[0], SHUT_WR);
    const auto out = splicer.run(1000, 5000);
    EXPECT_EQ(out.result, ferrynet::Splicer::Result::kEnd);
    EXPECT_EQ(out.bytes, 3);
  }
  EXPECT_EQ(data_test::read_all(b.fd[0], 200), "abc");
  EXPECT_FALSE(::fcntl(a.fd[1], F_GETFL) & O_NONBLOCK);
  EXPECT_FALSE(::fcntl(b.fd[1], F_GETFL) & O_NONBLOCK);
  // A taker that takes nothing: the run fails after the idle limit, not later.
  TcpPair c, d;
  ferrynet::Connection cc(ferrynet::Fd(::dup(c.fd[1]))), cd(ferrynet::Fd(::dup(d.fd[1])));
  // Sent without pauses: a slow writer would end the run as a silent peer does.
  const std::string body = random_bytes(32 << 20, 6);
  std::thread writer([&] {
    for (size_t at = 0; at < body.size();) {
      const ssize_t n = ::send(c.fd[0], body.data() + at, body.size() - at, MSG_NOSIGNAL);
      if (n <= 0) break;
      at += static_cast<size_t>(n);
    }
  });
  const auto start = std::chrono::steady_clock::now();
  const auto out = ferrynet::Splicer(cc, cd).run(300, 5000);
  EXPECT_EQ(out.result, ferrynet::Splicer::Result::kWriteFailed);
  EXPECT_EQ(errno, ETIMEDOUT);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  ::shutdown(c.fd[0], SHUT_RDWR);
  ::shutdown(c.fd[1], SHUT_RDWR);
  writer.join();
}

}  // namespace
