// The PASV and PORT rewriters called as the relay calls them, with a client
// and sites on loopback control connections.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "ferrynet/core/config.h"
#include "ferrynet/data/pasv_rewrite.h"
#include "ferrynet/data/port_rewrite.h"
#include "tests/data/data_test_support.h"

using namespace data_test;
using ferrynet::Client;
using ferrynet::RelayState;
using ferrynet::ReplyBuffer;

namespace {

// `far` is the peer's end of a control connection, `near` the daemon's.
struct ControlPair {
  int far = -1;
  int near = -1;
  sockaddr_in far_addr{};
  ControlPair() {
    uint16_t port;
    int l = listen_loopback(&port);
    far = connect_loopback(port);
    socklen_t len = sizeof far_addr;
    near = ::accept(l, reinterpret_cast<sockaddr*>(&far_addr), &len);
    ::close(l);
  }
  ~ControlPair() { ::close(far); }
};

class RewriteTest : public testing::Test {
 protected:
  void SetUp() override {
    ferrynet::Config& cfg = ferrynet::config();
    cfg.sitecount = kSites;
    cfg.ip = "127.0.0.1";
    cfg.connip = "127.0.0.1";
    client_.client_conn = ferrynet::Connection(ferrynet::Fd(client_side_.near));
    client_.client_addr = ferrynet::Address::ipv4(client_side_.far_addr.sin_addr.s_addr, ntohs(client_side_.far_addr.sin_port));
    client_.client_ip = "127.0.0.1";
    for (int i = 0; i < kSites; ++i) {
      client_.site_conn[i] = ferrynet::Connection(ferrynet::Fd(site_side_[i].near));
      client_.site_addr[i] = ferrynet::Address::ipv4(site_side_[i].far_addr.sin_addr.s_addr, 21);
    }
    client_.site_count = kSites;
    for (int i = 0; i < kSites; ++i) client_.site_number[i] = i;
  }
  void TearDown() override { ferrynet::config().sitecount = 0; }
  void put(int site, const std::string& text) { rb_->slice[site].assign(text); }
  ferrynet::CommandResult port_command(std::string line) { return ferrynet::port_rewrite(session_, line); }
  // What the listing command would tell the root bounce.
  void asked_listing() {
    if (st_.transfer) st_.transfer->decide_listing(ferrynet::kListingLong);
  }
  std::string to_client() { return read_all(client_side_.far, 300); }
  std::string to_site(int i) { return read_all(site_side_[i].far, 300); }

  static constexpr int kSites = 2;
  LogCapture log_;
  ControlPair client_side_;
  ControlPair site_side_[kSites];
  Client client_;
  RelayState st_;
  ferrynet::Session session_{client_, st_};
  std::unique_ptr<ReplyBuffer> rb_ = std::make_unique<ReplyBuffer>();
};

uint16_t announced_port(const std::string& line, const char* pattern) {
  int q[4], hi = -1, lo = -1;
  if (std::sscanf(line.c_str(), pattern, &q[0], &q[1], &q[2], &q[3], &hi, &lo) != 6) return 0;
  return static_cast<uint16_t>(hi * 256 + lo);
}

TEST_F(RewriteTest, PasvOutsideRootPassesTheCurrentSitesLineAsReceived) {
  std::strcpy(st_.cwd, "/VCD");
  st_.current_site = 1;
  put(0, "227 Entering Passive Mode (9,9,9,9,9,9).\r\n");
  put(1, "227 Entering Passive Mode (10,0,0,2,3,10).\r\n");
  EXPECT_EQ(ferrynet::pasv_rewrite(session_, *rb_), ferrynet::ReplyResult::kDrop);
  asked_listing();
  EXPECT_EQ(to_client(), "227 Entering Passive Mode (10,0,0,2,3,10).\r\n");
}

TEST_F(RewriteTest, PasvAtRootAnnouncesOnePortOfTheDaemonThatMergesTheSites) {
  std::vector<std::string> want;
  auto listings = three_listings(600, want);
  std::vector<std::string> union_of_two;
  for (auto l : split_lines(listings[0] + listings[1]))
    if (l.rfind("total", 0) != 0 && std::find(union_of_two.begin(), union_of_two.end(), l) == union_of_two.end())
      union_of_two.push_back(l);
  ListingSite s0(listings[0], 700), s1(listings[1], 300);
  put(0, "227 Entering Passive Mode (127,0,0,1," + std::to_string(s0.port() / 256) + "," +
             std::to_string(s0.port() % 256) + ").\r\n");
  put(1, std::string("227 ok (") + "127,0,0,1," + std::to_string(s1.port() / 256) + "," +
             std::to_string(s1.port() % 256) + ")\r\n");
  EXPECT_EQ(ferrynet::pasv_rewrite(session_, *rb_), ferrynet::ReplyResult::kDrop);
  asked_listing();
  std::string reply = to_client();
  uint16_t port = announced_port(reply, "227 Entering Passive Mode (%d,%d,%d,%d,%d,%d).\r\n");
  ASSERT_NE(port, 0) << reply;
  EXPECT_EQ(reply, "227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) + "," +
                       std::to_string(port % 256) + ").\r\n");
  int data = connect_loopback(port);
  auto lines = split_lines(read_all(data));
  ::close(data);
  std::sort(lines.begin(), lines.end());
  std::sort(union_of_two.begin(), union_of_two.end());
  EXPECT_EQ(lines, union_of_two);
}

TEST_F(RewriteTest, MalformedPasvReplyIsLoggedAndTheClientHearsAnAnswer) {
  const int before = open_descriptor_count();
  put(0, "227 Entering Passive Mode (127,0,0,1,4,1).\r\n");
  put(1, "227 (127,0,0,1,4,1)\r\n");
  EXPECT_EQ(ferrynet::pasv_rewrite(session_, *rb_), ferrynet::ReplyResult::kFailed);
  EXPECT_EQ(to_client(), "425 Cannot open a data connection.\r\n");
  EXPECT_EQ(log_.text(), "PASV reply from server in wrong syntax: 227 (127,0,0,1,4,1)\n");
  EXPECT_EQ(open_descriptor_count(), before);
}

TEST_F(RewriteTest, PortOutsideRootGoesUnchangedToTheCurrentSiteWhichAloneAnswers) {
  std::strcpy(st_.cwd, "/GAMES");
  st_.current_site = 1;
  EXPECT_EQ(port_command("port 10,0,0,9,1,1\r"), ferrynet::CommandResult::kHandled);
  asked_listing();
  EXPECT_EQ(to_site(1), "port 10,0,0,9,1,1\r\n");
  EXPECT_EQ(to_site(0), "");
  EXPECT_FALSE(st_.awaited[0]);
  EXPECT_TRUE(st_.awaited[1]);
}

TEST_F(RewriteTest, PortAtRootThatDoesNotReadOrNamesAnotherHostIsRefused) {
  const int before = open_descriptor_count();
  const struct {
    const char* line;
    const char* reply;
  } cases[] = {
      {"port 127,0,0,1,19,137\r", "501 Syntax error in PORT command.\r\n"},
      {"PORT 127,0,0,1,19\r", "501 Syntax error in PORT command.\r\n"},
      {"PORT 10,0,0,7,19,137\r", "504 PORT must name your own address and a port from 1024 up.\r\n"},
      {"PORT 127,0,0,1,0,25\r", "504 PORT must name your own address and a port from 1024 up.\r\n"},
  };
  std::string want_log;
  for (const auto& k : cases) {
    session_.await_every_site();
    EXPECT_EQ(port_command(k.line), ferrynet::CommandResult::kHandled) << k.line;
    EXPECT_EQ(to_client(), k.reply) << k.line;
    EXPECT_EQ(st_.awaited[0] + st_.awaited[1], 0) << "no site may be awaited";
    std::string shown(k.line);
    want_log += "client supplied PORT command in invalid format: " + shown.substr(0, shown.size() - 1) + "\n";
  }
  EXPECT_EQ(to_site(0) + to_site(1), "");
  EXPECT_EQ(log_.text(), want_log);
  EXPECT_EQ(open_descriptor_count(), before);
}

TEST_F(RewriteTest, PortAtRootGivesEverySiteItsOwnPortOnceTheBounceRuns) {
  uint16_t client_data;
  int client_listen = listen_loopback(&client_data);
  EXPECT_EQ(port_command("PORT 127,0,0,1," + std::to_string(client_data / 256) + "," +
                         std::to_string(client_data % 256) + "\r"),
            ferrynet::CommandResult::kHandled);
  asked_listing();
  EXPECT_EQ(to_client(), "");
  std::string lines[kSites] = {to_site(0), to_site(1)};
  uint16_t ports[kSites];
  for (int i = 0; i < kSites; ++i) {
    ports[i] = announced_port(lines[i], "PORT %d,%d,%d,%d,%d,%d\r\n");
    ASSERT_NE(ports[i], 0) << lines[i];
    EXPECT_EQ(lines[i], "PORT 127,0,0,1," + std::to_string(ports[i] / 256) + "," + std::to_string(ports[i] % 256) +
                            "\r\n");
  }
  EXPECT_NE(ports[0], ports[1]);
  ASSERT_TRUE(readable_within(client_listen, 10000)) << "the bounce connects to the client first";
  int client = ::accept(client_listen, nullptr, nullptr);
  std::string got;
  {
    ListingSite s1(entry("one") + entry("both"), 5, ListingSite::kConnect, ports[1]);
    ListingSite s0("total 2\r\n" + entry("both") + entry("zero"), 5, ListingSite::kConnect, ports[0]);
    got = read_all(client);
  }
  auto merged = split_lines(got);
  std::sort(merged.begin(), merged.end());
  EXPECT_EQ(merged, (std::vector<std::string>{entry("both"), entry("one"), entry("zero")}));
  ::close(client);
  ::close(client_listen);
}

}  // namespace
