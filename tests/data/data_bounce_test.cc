// The bouncer thread and its pumps between loopback peers: both modes, the
// time-outs, early ends and descriptor numbers the readiness sets of old
// could not hold.
#include "ferrynet/data/data_bounce.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "ferrynet/core/net.h"
#include "tests/data/data_test_support.h"

using namespace data_test;
using ferrynet::DataBounce;
using Clock = std::chrono::steady_clock;

namespace {

std::unique_ptr<DataBounce> bounce_record(int connect_to_sites, int sites) {
  auto b = std::make_unique<DataBounce>();
  b->connect_to_sites = connect_to_sites;
  b->sites = sites;
  b->target_count = connect_to_sites ? sites : 1;
  b->listen_count = connect_to_sites ? 1 : sites;
  for (int i = 0; i < b->listen_count; ++i) {
    auto l = ferrynet::create_listener("127.0.0.1", 0);
    b->listen_ports[i] = l->port;
    b->listeners[i] = std::move(l);
  }
  std::snprintf(b->client_host, sizeof b->client_host, "127.0.0.1");
  b->client_port = 5555;
  return b;
}

void expect_union(const std::string& got, std::vector<std::string> want) {
  std::vector<std::string> lines = split_lines(got);
  std::sort(lines.begin(), lines.end());
  std::sort(want.begin(), want.end());
  EXPECT_EQ(lines.size(), want.size());
  EXPECT_TRUE(lines == want) << "the merged listing is not exactly the union";
}

// A passive-mode transfer from three sites to one client; the sites' reads end anywhere.
std::string pasv_transfer(const std::vector<std::string>& listings, Clock::time_point* last_site_closed = nullptr,
                          Clock::time_point* client_eof = nullptr) {
  ListingSite s0(listings[0], 333), s1(listings[1], 1000), s2(listings[2], 1777, ListingSite::kListen, 0, 300);
  auto b = bounce_record(1, 3);
  const uint16_t sites[] = {s0.port(), s1.port(), s2.port()};
  for (int i = 0; i < 3; ++i) {
    std::snprintf(b->hosts[i], sizeof b->hosts[i], "127.0.0.1");
    b->ports[i] = sites[i];
  }
  const uint16_t port = b->listen_ports[0];
  EXPECT_EQ(ferrynet::start_bounce(std::move(b)), 0);
  int client = connect_loopback(port);
  std::string got = read_all(client);
  if (client_eof) *client_eof = Clock::now();
  ::close(client);
  if (last_site_closed) *last_site_closed = std::max({s0.closed_at(), s1.closed_at(), s2.closed_at()});
  return got;
}

TEST(DataBounce, PassiveMergesTheUnionAndTheClientEndsAfterTheLastSite) {
  LogCapture log;
  std::vector<std::string> want;
  auto listings = three_listings(3000, want);
  Clock::time_point last_site, eof;
  expect_union(pasv_transfer(listings, &last_site, &eof), want);
  EXPECT_GE(eof, last_site);
  EXPECT_EQ(log.text(), "");
}

TEST(DataBounce, ActiveConnectsToTheClientAndAcceptsEverySiteInOrder) {
  std::vector<std::string> want;
  auto listings = three_listings(2000, want);
  uint16_t client_port;
  int client_listen = listen_loopback(&client_port);
  auto b = bounce_record(0, 3);
  std::snprintf(b->hosts[0], sizeof b->hosts[0], "127.0.0.1");
  b->ports[0] = client_port;
  const uint16_t site_ports[] = {b->listen_ports[0], b->listen_ports[1], b->listen_ports[2]};
  ASSERT_EQ(ferrynet::start_bounce(std::move(b)), 0);
  ASSERT_TRUE(readable_within(client_listen, 10000));
  int client = ::accept(client_listen, nullptr, nullptr);
  std::string got;
  {
    // Site 2 connects first; its connection waits until sites 0 and 1 are accepted.
    ListingSite s2(listings[2], 600, ListingSite::kConnect, site_ports[2]);
    ListingSite s0(listings[0], 1024, ListingSite::kConnect, site_ports[0]);
    ListingSite s1(listings[1], 99, ListingSite::kConnect, site_ports[1]);
    got = read_all(client);
  }
  expect_union(got, want);
  ::close(client);
  ::close(client_listen);
}

TEST(DataBounce, FailedConnectLogsClientPeerAndUnsignedTargetPortAndClosesAll) {
  LogCapture log;
  const int before = open_descriptor_count();
  uint16_t refused = closed_port();
  ASSERT_GT(refused, 32767) << "an ephemeral port shows the unsigned print";
  {
    auto b = bounce_record(1, 2);
    std::snprintf(b->hosts[0], sizeof b->hosts[0], "127.0.0.1");
    b->ports[0] = refused;
    ferrynet::run_bounce(*b);
  }
  EXPECT_EQ(log.text(), "cannot bounce data connection from 127.0.0.1:5555 to 127.0.0.1:" + std::to_string(refused) +
                            ", timeouted (180s)\n");
  EXPECT_EQ(open_descriptor_count(), before);
}

TEST(DataBounce, ClientThatNeverConnectsEndsTheBounceAfterItsWaitWithNothingLeft) {
  LogCapture log;
  const int before = open_descriptor_count();
  auto start = Clock::now();
  {
    ListingSite s0(entry("a"), 64);
    auto b = bounce_record(1, 1);
    b->timeout_s = 1;
    std::snprintf(b->hosts[0], sizeof b->hosts[0], "127.0.0.1");
    b->ports[0] = s0.port();
    const uint16_t port = b->listen_ports[0];
    // What the relay answers with: 425, not the sites' completion.
    auto plan = std::make_shared<ferrynet::TransferPlan>();
    plan->decide_listing(0);
    b->plan = plan;
    ferrynet::run_bounce(*b);
    EXPECT_EQ(log.text(), "no data connection came to port " + std::to_string(port) + " within 1s\n");
    EXPECT_EQ(plan->outcome(), ferrynet::TransferPlan::Outcome::kNoConnection);
  }
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_EQ(open_descriptor_count(), before);
}

TEST(DataBounce, ClientClosingEarlyEndsEveryLegAndTheBounceCleansUp) {
  LogCapture log;
  const int before = open_descriptor_count();
  std::vector<std::string> want;
  auto listings = three_listings(20000, want);
  {
    ListingSite s0(listings[0], 512), s1(listings[1], 512), s2(listings[2], 512);
    auto b = bounce_record(1, 3);
    const uint16_t sites[] = {s0.port(), s1.port(), s2.port()};
    for (int i = 0; i < 3; ++i) {
      std::snprintf(b->hosts[i], sizeof b->hosts[i], "127.0.0.1");
      b->ports[i] = sites[i];
    }
    const uint16_t port = b->listen_ports[0];
    ASSERT_EQ(ferrynet::start_bounce(std::move(b)), 0);
    int client = connect_loopback(port);
    char some[100];
    ASSERT_GT(::read(client, some, sizeof some), 0);
    ::close(client);
  }
  for (int i = 0; i < 500 && open_descriptor_count() != before; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(open_descriptor_count(), before);
  EXPECT_NE(log.text().find("system error on bounce connection ("), std::string::npos);
}

TEST(DataBounce, SiteThatListsNothingLeavesTheOthersWhole) {
  std::vector<std::string> ignored;
  auto listings = three_listings(300, ignored);
  std::vector<std::string> want = split_lines(listings[0].substr(listings[0].find('\n') + 1));
  for (const auto& l : split_lines(listings[2].substr(listings[2].find('\n') + 1)))
    if (std::find(want.begin(), want.end(), l) == want.end()) want.push_back(l);
  expect_union(pasv_transfer({listings[0], "", listings[2]}), want);
}

TEST(DataBounce, DescriptorsAbove1023Work) {
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  if (lim.rlim_cur < 1200 && lim.rlim_max >= 1200) {
    lim.rlim_cur = 1200;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
  if (lim.rlim_cur < 1200) GTEST_SKIP() << "cannot open 1200 descriptors here";
  std::vector<int> filler;
  for (int fd = open_descriptor_count(); fd < 1040; ++fd) filler.push_back(::open("/dev/null", O_RDONLY));
  int probe = ::open("/dev/null", O_RDONLY);
  ASSERT_GT(probe, 1023);
  ::close(probe);
  std::vector<std::string> want;
  auto listings = three_listings(500, want);
  expect_union(pasv_transfer(listings), want);
  for (int fd : filler) ::close(fd);
}

}  // namespace
