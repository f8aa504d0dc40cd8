// EPSV and EPRT as the relay calls them, and a transfer outside the root
// with bouncedata: client and sites on loopback control connections.
#include <gtest/gtest.h>

#include <cstdarg>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "ferrynet/core/config.h"
#include "ferrynet/data/pasv_rewrite.h"
#include "ferrynet/data/port_rewrite.h"
#include "ferrynet/relay/command_handlers.h"
#include "tests/data/data_test_support.h"

using namespace data_test;

namespace {

void put_formatted(ferrynet::Slice& slice, const char* format, ...) __attribute__((format(printf, 2, 3)));
void put_formatted(ferrynet::Slice& slice, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  slice.assign(text);
}

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

class ModernHandlers : public testing::Test {
 protected:
  void SetUp() override {
    ferrynet::Config& cfg = ferrynet::config();
    cfg.sitecount = kSites;
    cfg.ip = "127.0.0.1";
    cfg.connip = "127.0.0.1";
    cfg.bouncedata = 0;
    client_.client_conn = ferrynet::Connection(ferrynet::Fd(client_side_.near));
    client_.client_addr = ferrynet::Address::ipv4(client_side_.far_addr.sin_addr.s_addr, ntohs(client_side_.far_addr.sin_port));
    client_.client_ip = "127.0.0.1";
    for (int i = 0; i < kSites; ++i) client_.site_conn[i] = ferrynet::Connection(ferrynet::Fd(site_side_[i].near));
    client_.site_count = kSites;
    for (int i = 0; i < kSites; ++i) client_.site_number[i] = i;
  }
  void TearDown() override {
    ferrynet::config().sitecount = 0;
    ferrynet::config().bouncedata = 0;
  }
  ferrynet::CommandResult command(ferrynet::CommandHandler handler, std::string line) {
    session_.await_every_site();  // as the relay sets it before a handler
    return handler(session_, line);
  }
  void in_section(int site) {
    std::strcpy(st_.cwd, "/VCD");
    st_.current_site = site;
  }
  // What the listing command would tell the root bounce.
  void asked_listing() {
    if (st_.transfer) st_.transfer->decide_listing(ferrynet::kListingLong);
  }
  std::string to_client() { return read_all(client_side_.far, 300); }
  // A bounce thread outlives its test unless every leg has ended: wait until
  // it has closed its sockets.
  bool bounce_gone(int baseline) {
    for (int waited = 0; waited < 10000; waited += 20) {
      if (open_descriptor_count() <= baseline) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  std::string to_site(int i) { return read_all(site_side_[i].far, 300); }

  static constexpr int kSites = 2;
  LogCapture log_;
  ControlPair client_side_;
  ControlPair site_side_[kSites];
  ferrynet::Client client_;
  ferrynet::RelayState st_;
  ferrynet::Session session_{client_, st_};
  std::unique_ptr<ferrynet::ReplyBuffer> rb_ = std::make_unique<ferrynet::ReplyBuffer>();
};

TEST_F(ModernHandlers, EpsvAsksTheSitesWithPasvWhereTheDaemonCarriesTheData) {
  EXPECT_EQ(command(ferrynet::epsv_command, "EPSV\r"), ferrynet::CommandResult::kHandled);
  asked_listing();
  EXPECT_EQ(command(ferrynet::epsv_command, "EPSV 1\r"), ferrynet::CommandResult::kHandled);
  asked_listing();
  for (int i = 0; i < kSites; ++i) EXPECT_EQ(to_site(i), "PASV\r\nPASV\r\n");
  EXPECT_EQ(st_.awaited[0] + st_.awaited[1], 2);

  in_section(1);
  EXPECT_EQ(command(ferrynet::epsv_command, "EPSV\r"), ferrynet::CommandResult::kForward);
  ferrynet::config().bouncedata = 1;
  EXPECT_EQ(command(ferrynet::epsv_command, "EPSV\r"), ferrynet::CommandResult::kHandled);
  asked_listing();
  EXPECT_EQ(to_site(0), "");
  EXPECT_EQ(to_site(1), "PASV\r\n");
  EXPECT_FALSE(st_.awaited[0]);
  EXPECT_TRUE(st_.awaited[1]);
}

TEST_F(ModernHandlers, EpsvAndEprtForOtherProtocolsAreRefusedWithoutTheSites) {
  EXPECT_EQ(command(ferrynet::epsv_command, "EPSV 2\r"), ferrynet::CommandResult::kHandled);
  asked_listing();
  EXPECT_NE(command(ferrynet::eprt_rewrite, "EPRT |2|::1|5000|\r"), ferrynet::CommandResult::kForward);
  EXPECT_NE(command(ferrynet::eprt_rewrite, "EPRT |1|127.0.0.2|5000|\r"), ferrynet::CommandResult::kForward);
  EXPECT_EQ(to_client(),
            "522 Network protocol not supported, use (1)\r\n522 Network protocol not supported, use (1)\r\n"
            "504 EPRT must name your own address and a port from 1024 up.\r\n");
  EXPECT_EQ(to_site(0) + to_site(1), "");
  EXPECT_EQ(st_.awaited[0] + st_.awaited[1], 0);
  EXPECT_NE(log_.text().find("client supplied EPRT command in invalid format: EPRT |1|127.0.0.2|5000|\n"),
            std::string::npos);
}

TEST_F(ModernHandlers, EprtAtTheRootGivesEverySiteAPortOfTheDaemon) {
  const int baseline = open_descriptor_count();
  uint16_t client_port;
  int client_listener = listen_loopback(&client_port);
  EXPECT_EQ(command(ferrynet::eprt_rewrite, "EPRT |1|127.0.0.1|" + std::to_string(client_port) + "|\r"),
            ferrynet::CommandResult::kHandled);
  asked_listing();
  // The bounce connects to the client's port named in the EPRT first.
  ASSERT_TRUE(readable_within(client_listener, 5000));
  int client_data = ::accept(client_listener, nullptr, nullptr);
  ::close(client_listener);
  for (int i = 0; i < kSites; ++i) {
    int q[4], hi, lo;
    std::string line = to_site(i);
    ASSERT_EQ(std::sscanf(line.c_str(), "PORT %d,%d,%d,%d,%d,%d\r\n", &q[0], &q[1], &q[2], &q[3], &hi, &lo), 6)
        << line;
    EXPECT_EQ(q[0] * 1000 + q[3], 127001);
    int site_data = connect_loopback(static_cast<uint16_t>(hi * 256 + lo));
    EXPECT_GE(site_data, 0) << "site " << i;
    ::close(site_data);
  }
  ::close(client_data);
  EXPECT_TRUE(bounce_gone(baseline));
}

TEST_F(ModernHandlers, EpsvRepliesAt227BecomeOne229NamingTheDaemon) {
  const int baseline = open_descriptor_count();
  uint16_t ports[kSites];
  int listeners[kSites];
  for (int i = 0; i < kSites; ++i) {
    listeners[i] = listen_loopback(&ports[i]);
    put_formatted(rb_->slice[i], "227 Entering Passive Mode (127,0,0,1,%d,%d).\r\n",
                  ports[i] / 256, ports[i] % 256);
  }
  std::strcpy(st_.last_command, "EPSV");
  EXPECT_EQ(ferrynet::epsv_rewrite(session_, *rb_), ferrynet::ReplyResult::kDrop);
  asked_listing();
  int port = 0;
  std::string reply = to_client();
  ASSERT_EQ(std::sscanf(reply.c_str(), "229 Entering Extended Passive Mode (|||%d|)\r\n", &port), 1) << reply;
  for (int i = 0; i < kSites; ++i) EXPECT_NE(port, ports[i]);
  int data = connect_loopback(static_cast<uint16_t>(port));
  EXPECT_GE(data, 0);
  for (int i = 0; i < kSites; ++i) {
    EXPECT_TRUE(readable_within(listeners[i], 5000)) << "site " << i << " was not connected";
    ::close(::accept(listeners[i], nullptr, nullptr));
    ::close(listeners[i]);
  }
  ::close(data);
  EXPECT_TRUE(bounce_gone(baseline));
}

TEST_F(ModernHandlers, BouncedataCarriesAFileOfTheCurrentSiteByteForByte) {
  ferrynet::config().bouncedata = 1;
  in_section(1);
  const int baseline = open_descriptor_count();
  uint16_t site_port;
  int site_listener = listen_loopback(&site_port);
  put_formatted(rb_->slice[1], "227 Entering Passive Mode (127,0,0,1,%d,%d).\r\n",
                site_port / 256, site_port % 256);
  std::strcpy(st_.last_command, "PASV");
  EXPECT_EQ(ferrynet::pasv_rewrite(session_, *rb_), ferrynet::ReplyResult::kDrop);
  asked_listing();
  int q[4], hi, lo;
  std::string reply = to_client();
  ASSERT_EQ(std::sscanf(reply.c_str(), "227 Entering Passive Mode (%d,%d,%d,%d,%d,%d).", &q[0], &q[1], &q[2], &q[3],
                        &hi, &lo),
            6)
      << reply;
  EXPECT_NE(hi * 256 + lo, site_port);
  int client_data = connect_loopback(static_cast<uint16_t>(hi * 256 + lo));
  ASSERT_TRUE(readable_within(site_listener, 5000));
  int site_data = ::accept(site_listener, nullptr, nullptr);
  ::close(site_listener);

  std::mt19937 gen(7);
  std::string file(2 << 20, '\0');
  for (char& ch : file) ch = static_cast<char>(gen());
  file.replace(0, 10, "total 1\r\n\n");
  std::thread site([&] {
    send_in_pieces(site_data, file, 250000);
    ::close(site_data);
  });
  std::string got = read_all(client_data);
  site.join();
  ::close(client_data);
  EXPECT_TRUE(got == file) << got.size() << " of " << file.size() << " bytes";
  EXPECT_TRUE(bounce_gone(baseline));
}

TEST_F(ModernHandlers, WithoutBouncedataSectionsKeepTheSitesOwnData) {
  in_section(1);
  put_formatted(rb_->slice[1], "227 Entering Passive Mode (10,0,0,3,4,1).\r\n");
  EXPECT_EQ(ferrynet::pasv_rewrite(session_, *rb_), ferrynet::ReplyResult::kDrop);
  asked_listing();
  EXPECT_EQ(ferrynet::epsv_rewrite(session_, *rb_), ferrynet::ReplyResult::kForward);
  EXPECT_EQ(command(ferrynet::eprt_rewrite, "EPRT |1|10.9.9.9|80|\r"), ferrynet::CommandResult::kHandled);
  asked_listing();
  EXPECT_EQ(to_client(), "227 Entering Passive Mode (10,0,0,3,4,1).\r\n");
  EXPECT_EQ(to_site(1), "EPRT |1|10.9.9.9|80|\r\n");
  EXPECT_EQ(to_site(0), "");
}

}  // namespace
