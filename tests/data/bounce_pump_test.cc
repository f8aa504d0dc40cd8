// A leg's step as batches: what a read leaves goes out whole, at once, and a
// client that stops reading stalls the legs without making them spin.
#include "ferrynet/data/bounce_pump.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "ferrynet/data/data_bounce.h"
#include "ferrynet/core/net.h"
#include "tests/data/data_test_support.h"

using namespace data_test;

namespace {

double process_cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

// What the client end holds right now, taken without waiting.
std::string take(int fd) {
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
}

TEST(CopyStep, EachReadsWholeLinesArriveAtOnceAndALineSplitAcrossReadsArrivesWhole) {
  int site[2], client[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, site), 0);
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, client), 0);
  ferrynet::Connection from{ferrynet::Fd(site[1])}, to{ferrynet::Fd(client[1])};
  ferrynet::SeenNames seen;
  ferrynet::ListingFilter filter(seen);
  ferrynet::CopyBuffers buffers;
  std::mutex lock;
  auto step = [&](const std::string& sent) {
    EXPECT_EQ(::send(site[0], sent.data(), sent.size(), 0), static_cast<ssize_t>(sent.size()));
    EXPECT_EQ(ferrynet::copy_step(from, to, filter, &lock, buffers), static_cast<int>(sent.size()));
    return take(client[0]);
  };
  // A read that ends exactly at a line end leaves nothing behind.
  EXPECT_EQ(step("total 3\r\n" + entry("a") + entry("b")), entry("a") + entry("b"));
  // A read that ends inside a line passes the lines before it only...
  const std::string c = entry("c"), d = entry("d");
  EXPECT_EQ(step(entry("a") + c.substr(0, 30)), "");
  // ...and the rest of it, with the lines after it, once it is whole.
  EXPECT_EQ(step(c.substr(30) + d + d.substr(0, 3)), c + d);
  EXPECT_EQ(step(d.substr(3)), "");  // "d" again: dropped
  // End of file: the unfinished last line goes on.
  EXPECT_EQ(step(entry("e", "")), "");
  ::shutdown(site[0], SHUT_WR);
  EXPECT_EQ(ferrynet::copy_step(from, to, filter, &lock, buffers), 0);
  EXPECT_EQ(take(client[0]), entry("e", ""));
  ::close(site[0]);
  ::close(client[0]);
}

TEST(DataBounce, AClientThatStopsReadingStallsEveryLegWithoutSpinning) {
  std::vector<std::string> want;
  auto listings = three_listings(30000, want);
  ListingSite s0(listings[0], 65536), s1(listings[1], 65536), s2(listings[2], 65536);
  auto b = std::make_unique<ferrynet::DataBounce>();
  b->connect_to_sites = 1;
  b->sites = b->target_count = 3;
  b->listen_count = 1;
  auto l = ferrynet::create_listener("127.0.0.1", 0);
  const uint16_t port = l->port;
  b->listen_ports[0] = port;
  b->listeners[0] = std::move(l);
  const uint16_t sites[] = {s0.port(), s1.port(), s2.port()};
  for (int i = 0; i < 3; ++i) {
    std::snprintf(b->hosts[i], sizeof b->hosts[i], "127.0.0.1");
    b->ports[i] = sites[i];
  }
  std::snprintf(b->client_host, sizeof b->client_host, "127.0.0.1");
  ASSERT_EQ(ferrynet::start_bounce(std::move(b)), 0);
  // A small receive buffer: the daemon's first batch cannot all go.
  int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int small = 4096;
  ::setsockopt(client, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  char some[100];
  const ssize_t first = ::read(client, some, sizeof some);
  ASSERT_GT(first, 0);
  std::string got(some, static_cast<size_t>(first));
  // Let the sites' sends and the legs' reads settle into the stall, then
  // measure: legs that spun would burn the whole second.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const double before = process_cpu_seconds();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_LT(process_cpu_seconds() - before, 0.1);
  got += read_all(client);
  ::close(client);
  std::vector<std::string> lines = split_lines(got);
  std::sort(lines.begin(), lines.end());
  std::sort(want.begin(), want.end());
  EXPECT_TRUE(lines == want) << "the merged listing is not exactly the union";
}

}  // namespace
