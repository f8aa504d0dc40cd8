// The client table and the presence list, alone and under concurrent use.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>
#include <vector>

#include "ferrynet/core/net.h"
#include "ferrynet/session/client_table.h"
#include "ferrynet/session/presence.h"
#include "tests/core/core_test_support.h"

using ferrynet::Client;
using ferrynet::ClientTable;
using ferrynet::Fd;
using ferrynet::PresenceEntry;

namespace {

// {the client's end, the test's end}
std::pair<Fd, Fd> stream_pair() {
  int sv[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  return {Fd(sv[0]), Fd(sv[1])};
}

// True when the other end has been closed or shut down.
bool sees_end(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 1000) != 1) return false;
  char c;
  return ::recv(fd, &c, 1, MSG_DONTWAIT) == 0;
}

TEST(ClientTable, RemoveClosesEverySocketAndEmptiesTheTable) {
  ClientTable table;
  std::shared_ptr<Client> c = table.add();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(table.count(), 1);
  auto [cfd, cpeer] = stream_pair();
  auto [s0, s0peer] = stream_pair();
  {
    std::lock_guard<std::mutex> hold(c->lock);
    c->client_conn = ferrynet::Connection(std::move(cfd));
    c->site_conn[0] = ferrynet::Connection(std::move(s0));
    c->site_conn[1].close();  // a failed second site
    c->client_ip = "127.0.0.1";
    c->ident_user = "someone";
  }
  table.remove(c);
  EXPECT_EQ(table.count(), 0);
  EXPECT_TRUE(sees_end(cpeer.get()));
  EXPECT_TRUE(sees_end(s0peer.get()));
  EXPECT_FALSE(c->ident_user.has_value());
  EXPECT_TRUE(c->client_ip.empty());
  std::shared_ptr<Client> again = table.add();
  EXPECT_EQ(table.count(), 1);
  table.remove(again);
}

TEST(ClientTable, ClientNotInTheTableIsLeftAlone) {
  ClientTable table, other;
  std::shared_ptr<Client> stranger = other.add();
  std::shared_ptr<Client> mine = table.add();
  auto [cfd, peer] = stream_pair();
  stranger->client_conn = ferrynet::Connection(std::move(cfd));
  table.remove(stranger);
  table.end_one(stranger);
  EXPECT_EQ(table.count(), 1);
  EXPECT_FALSE(stranger->ended.load());
  pollfd p{peer.get(), POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 0), 0) << "its socket stays open";
  table.remove(mine);
  table.remove(mine);
  EXPECT_EQ(table.count(), 0);
}

TEST(ClientTable, EndAllWakesEveryWaitingClientAtOnce) {
  ClientTable table;
  table.end_all();  // empty: returns at once
  constexpr int kClients = 5;
  std::vector<Fd> peers;
  std::vector<std::thread> threads;
  std::atomic<int> woke{0};
  for (int i = 0; i < kClients; ++i) {
    std::shared_ptr<Client> c = table.add();
    auto [cfd, peer] = stream_pair();
    auto [sfd, speer] = stream_pair();
    peers.push_back(std::move(peer));
    peers.push_back(std::move(speer));
    c->client_conn = ferrynet::Connection(std::move(cfd));
    c->site_conn[0] = ferrynet::Connection(std::move(sfd));
    // Like the relay loop: a long wait on the client and its site, under the client's lock.
    threads.emplace_back([c, &woke] {
      std::lock_guard<std::mutex> hold(c->lock);
      ferrynet::Connection* const conns[2] = {&c->client_conn, &c->site_conn[0]};
      bool ready[2] = {};
      ferrynet::wait_any_readable(conns, 2, 30000, ready);
      if (ready[0] && c->ended.load()) ++woke;
    });
  }
  double start = core_test::now_seconds();
  table.end_all();
  EXPECT_EQ(table.count(), 0);
  for (auto& t : threads) t.join();
  EXPECT_LT(core_test::now_seconds() - start, 5.0);
  EXPECT_EQ(woke.load(), kClients);
  for (size_t i = 0; i < peers.size(); i += 2) EXPECT_TRUE(sees_end(peers[i].get()));
}

TEST(ClientTable, ConcurrentAddsAndRemovesKeepCountAndDescriptors) {
  ClientTable table;
  int before = core_test::open_descriptor_count();
  constexpr int kThreads = 8, kRounds = 300;
  std::atomic<bool> stop{false};
  std::thread watcher([&] {
    while (!stop.load()) {
      int n = table.count();
      EXPECT_GE(n, 0);
      EXPECT_LE(n, kThreads * 2);
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&table] {
      for (int i = 0; i < kRounds; ++i) {
        std::shared_ptr<Client> a = table.add();
        std::shared_ptr<Client> b = table.add();
        auto [fa, pa] = stream_pair();
        {
          std::lock_guard<std::mutex> hold(a->lock);
          a->client_conn = ferrynet::Connection(std::move(fa));
        }
        table.remove(b);
        table.remove(a);
      }
    });
  for (auto& t : threads) t.join();
  stop = true;
  watcher.join();
  EXPECT_EQ(table.count(), 0);
  EXPECT_EQ(core_test::open_descriptor_count(), before);
}

TEST(ClientTable, EndAllRacingWithClientsThatRemoveThemselves) {
  ClientTable table;
  constexpr int kClients = 64;
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    std::shared_ptr<Client> c = table.add();
    auto [cfd, peer] = stream_pair();
    c->client_conn = ferrynet::Connection(std::move(cfd));
    threads.emplace_back([&table, c, i, peer = std::move(peer)]() mutable {
      if (i % 2) {
        std::this_thread::yield();
        table.remove(c);  // a session ending while shutdown runs
      } else {
        c->client_conn.wait_readable(10);
      }
      peer.reset();
    });
  }
  table.end_all();
  EXPECT_EQ(table.count(), 0);
  for (auto& t : threads) t.join();
}

class PresenceList : public testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(ferrynet::presence_count(), 0) << "a test left entries linked"; }
  static PresenceEntry* entry(int shown, int id0, int id1) {
    auto* e = new PresenceEntry;
    e->shown_site = shown;
    e->session_ids[0] = id0;
    e->session_ids[1] = id1;
    return e;
  }
};

TEST_F(PresenceList, UnlinkHeadMiddleAndNeverInserted) {
  PresenceEntry* a = entry(0, 100, 200);
  PresenceEntry* b = entry(0, 101, 201);
  PresenceEntry* c = entry(0, 102, 202);
  for (PresenceEntry* e : {a, b, c}) ferrynet::presence_insert(e);
  EXPECT_EQ(ferrynet::presence_count(), 3);
  EXPECT_TRUE(ferrynet::presence_hides(1, 201)) << "site 1 session of a client shown on site 0";
  EXPECT_FALSE(ferrynet::presence_hides(0, 101)) << "the session the client is shown with";
  EXPECT_FALSE(ferrynet::presence_hides(1, 999));
  EXPECT_FALSE(ferrynet::presence_hides(7, 201));

  ferrynet::presence_insert(b);  // a second login must not relink it
  EXPECT_EQ(ferrynet::presence_count(), 3);
  ferrynet::presence_unlink(c);  // the head
  EXPECT_EQ(ferrynet::presence_count(), 2);
  EXPECT_FALSE(ferrynet::presence_hides(1, 202));
  ferrynet::presence_unlink(b);  // the middle: its neighbours are joined
  EXPECT_EQ(ferrynet::presence_count(), 1);
  EXPECT_TRUE(ferrynet::presence_hides(1, 200));
  EXPECT_FALSE(ferrynet::presence_hides(1, 201));

  PresenceEntry* lone = entry(0, 1, 2);
  EXPECT_FALSE(ferrynet::presence_is_linked(lone));
  ferrynet::presence_unlink(lone);
  ferrynet::presence_unlink(nullptr);
  EXPECT_EQ(ferrynet::presence_count(), 1);
  int ids[2] = {300, 400};
  ferrynet::presence_set_ids(a, ids, 2);
  EXPECT_TRUE(ferrynet::presence_hides(1, 400));
  ferrynet::presence_unlink(a);
}

TEST_F(PresenceList, ConcurrentLoginsLogoutsAndWalks) {
  constexpr int kThreads = 6, kRounds = 400;
  std::atomic<bool> stop{false};
  std::thread walker([&] {
    while (!stop.load()) {
      ferrynet::presence_hides(1, 12345);
      EXPECT_LE(ferrynet::presence_count(), kThreads * 2);
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kRounds; ++i) {
        PresenceEntry* x = entry(0, t, i);
        PresenceEntry* y = entry(0, t, -i);
        ferrynet::presence_insert(x);
        ferrynet::presence_insert(y);
        EXPECT_TRUE(ferrynet::presence_is_linked(x));
        ferrynet::presence_unlink(i % 2 ? x : y);
        ferrynet::presence_unlink(i % 2 ? y : x);
      }
    });
  for (auto& th : threads) th.join();
  stop = true;
  walker.join();
}

}  // namespace
