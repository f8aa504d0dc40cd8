// The plain copy of a data connection: every byte, both ways, and the end.
#include "ferrynet/data/byte_copy.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

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
    EXPECT_EQ(copy(site.fd[1], client.fd[1]), 0);
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

}  // namespace
