// TLS contexts and streams, a server and a client stream on two threads over loopback.
#include "ferrynet/core/tls.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "tests/core/tls_test_support.h"

using ferrynet::TlsContext;
using ferrynet::TlsResult;
using ferrynet::TlsSessionStore;
using ferrynet::TlsStream;
using ferrynet::TlsVersionCap;
using Side = std::function<void(TlsStream&)>;

namespace {

constexpr int kLimitMs = 5000;

// Both ends of a loopback TCP connection; the test owns and closes them.
struct SocketPair {
  int server = -1, client = -1;
  SocketPair() {
    int lst = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(lst, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(lst, 1);
    ::getsockname(lst, reinterpret_cast<sockaddr*>(&a), &len);
    client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a);
    server = ::accept4(lst, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(lst);
  }
  ~SocketPair() {
    close_server();
    if (client >= 0) ::close(client);
  }
  void close_server() {
    if (server >= 0) ::close(server);
    server = -1;
  }
};

// Reads until the end of the stream or until `want` bytes came.
std::string read_upto(TlsStream& s, size_t want) {
  std::string got;
  char buf[65536];
  while (got.size() < want) {
    long n = s.read(buf, std::min(sizeof buf, want - got.size()), kLimitMs);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

class Tls : public testing::Test {
 protected:
  static void SetUpTestSuite() { certs_ = new core_test::TestCerts; }
  static void TearDownTestSuite() { delete certs_; }
  void SetUp() override { ASSERT_TRUE(certs_->made) << "the openssl command could not make the certificates"; }

  static std::shared_ptr<const TlsContext> server_ctx() {
    std::string error;
    // With tickets, so the client side's store has sessions to keep.
    auto ctx = TlsContext::server(certs_->cert, certs_->key, error, TlsVersionCap::tls13, true);
    EXPECT_NE(ctx, nullptr) << error;
    return ctx;
  }
  static std::shared_ptr<const TlsContext> client_ctx(const std::string& ca = "",
                                                      TlsVersionCap cap = TlsVersionCap::tls13) {
    std::string error;
    auto ctx = TlsContext::client(ca, error, cap);
    EXPECT_NE(ctx, nullptr) << error;
    return ctx;
  }

  // The server side runs on its own thread, the client side on this one.
  static void converse(SocketPair& pair, const TlsContext& sctx, const Side& server_side, const TlsContext& cctx,
                       const Side& client_side, std::shared_ptr<TlsSessionStore> store = nullptr,
                       const std::string& peer = "") {
    auto server = TlsStream::open(sctx, pair.server);
    auto client = TlsStream::open(cctx, pair.client, peer);
    ASSERT_TRUE(server && client);
    if (store) client->use_session_store(store);
    std::thread t([&] { server_side(*server); });
    client_side(*client);
    t.join();
  }

  static core_test::TestCerts* certs_;
};
core_test::TestCerts* Tls::certs_ = nullptr;

TEST_F(Tls, ExactBytesBothWaysThenCloseNotifyIsACleanEndAndABareCloseIsNot) {
  std::string big(4 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7 + i / 65536) % 251);
  const std::string line = "USER anonymous\r\n";
  auto sctx = server_ctx();
  auto cctx = client_ctx();
  {
    SocketPair pair;
    converse(
        pair, *sctx,
        [&](TlsStream& s) {
          ASSERT_EQ(s.handshake(kLimitMs), TlsResult::ok) << s.error();
          EXPECT_EQ(read_upto(s, line.size()), line);
          EXPECT_TRUE(s.write_all(big.data(), big.size(), kLimitMs)) << s.error();
          EXPECT_EQ(s.close_notify(kLimitMs), TlsResult::ok) << s.error();
        },
        *cctx,
        [&](TlsStream& c) {
          ASSERT_EQ(c.handshake(kLimitMs), TlsResult::ok) << c.error();
          EXPECT_EQ(c.protocol(), "TLSv1.3");
          EXPECT_TRUE(c.write_all(line.data(), line.size(), kLimitMs));
          std::string got = read_upto(c, big.size() + 1);
          EXPECT_TRUE(got == big) << "got " << got.size() << " bytes";
          char b;
          EXPECT_EQ(c.read(&b, 1, kLimitMs), 0);
          EXPECT_TRUE(c.clean_end());
        });
  }
  SocketPair pair;
  converse(
      pair, *sctx,
      [&](TlsStream& s) {
        ASSERT_EQ(s.handshake(kLimitMs), TlsResult::ok) << s.error();
        EXPECT_TRUE(s.write_all("220 x\r\n", 7, kLimitMs));
        pair.close_server();
      },
      *cctx,
      [&](TlsStream& c) {
        ASSERT_EQ(c.handshake(kLimitMs), TlsResult::ok) << c.error();
        EXPECT_EQ(read_upto(c, 100), "220 x\r\n");
        char b;
        EXPECT_EQ(c.read(&b, 1, kLimitMs), 0);
        EXPECT_FALSE(c.clean_end());
      });
}

TEST_F(Tls, PendingWhileTheFirstReadLeftDecryptedBytesBehind) {
  std::string record(100, 'x');
  for (int i = 0; i < 100; ++i) record[i] = static_cast<char>('a' + i % 26);
  SocketPair pair;
  converse(
      pair, *server_ctx(),
      [&](TlsStream& s) {
        ASSERT_EQ(s.handshake(kLimitMs), TlsResult::ok);
        EXPECT_TRUE(s.write_all(record.data(), record.size(), kLimitMs));
        EXPECT_EQ(read_upto(s, 4), "done");
      },
      *client_ctx(),
      [&](TlsStream& c) {
        ASSERT_EQ(c.handshake(kLimitMs), TlsResult::ok);
        EXPECT_FALSE(c.pending());
        char buf[200];
        ASSERT_EQ(c.read(buf, 10, kLimitMs), 10);
        EXPECT_TRUE(c.pending());
        ASSERT_EQ(c.read(buf + 10, sizeof buf - 10, kLimitMs), 90);
        EXPECT_EQ(std::string(buf, 100), record);
        EXPECT_FALSE(c.pending());
        c.write_all("done", 4, kLimitMs);
      });
}

// A peer that sends its last records and close_notify, then waits for ours
// before it closes: the end must not sit unseen behind the data.
TEST_F(Tls, ReadTakesTheRecordsAlreadyHereAndAnEndReadAheadStaysPending) {
  std::string data(3 * 16384, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 13 % 253);
  SocketPair pair;
  converse(
      pair, *server_ctx(),
      [&](TlsStream& s) {
        ASSERT_EQ(s.handshake(kLimitMs), TlsResult::ok);
        EXPECT_TRUE(s.write_all(data.data(), data.size(), kLimitMs));
        EXPECT_EQ(s.close_notify(kLimitMs), TlsResult::ok);
        char b;
        EXPECT_EQ(s.read(&b, 1, kLimitMs), 0);
        EXPECT_TRUE(s.clean_end());
      },
      *client_ctx(),
      [&](TlsStream& c) {
        ASSERT_EQ(c.handshake(kLimitMs), TlsResult::ok);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        std::string buf(data.size() + 100, '\0');
        const long n = c.read(buf.data(), buf.size(), kLimitMs);
        ASSERT_GT(n, 16384) << "one record per read";
        std::string got(buf.data(), static_cast<size_t>(n));
        got += read_upto(c, data.size() - got.size());
        EXPECT_TRUE(got == data);
        EXPECT_TRUE(c.pending());
        EXPECT_EQ(c.read(buf.data(), buf.size(), kLimitMs), 0);
        EXPECT_TRUE(c.clean_end());
        EXPECT_EQ(c.close_notify(kLimitMs), TlsResult::ok);
      });
}

TEST_F(Tls, SilentPeerTimesOutWithinTheLimit) {
  auto sctx = server_ctx();
  auto cctx = client_ctx();
  SocketPair pair;
  auto elapsed_ms = [](auto start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  };
  for (const TlsContext* ctx : {cctx.get(), sctx.get()}) {
    auto s = TlsStream::open(*ctx, ctx->is_server() ? pair.server : pair.client);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(s->handshake(300), TlsResult::timed_out);
    EXPECT_TRUE(s->timed_out());
    EXPECT_GE(elapsed_ms(start), 290);
    EXPECT_LT(elapsed_ms(start), 2000);
  }
  SocketPair quiet;
  converse(
      quiet, *sctx, [](TlsStream& s) { ASSERT_EQ(s.handshake(kLimitMs), TlsResult::ok); }, *cctx,
      [&](TlsStream& c) {
        ASSERT_EQ(c.handshake(kLimitMs), TlsResult::ok);
        char buf[16];
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(c.read(buf, sizeof buf, 200), -1);
        EXPECT_TRUE(c.timed_out());
        EXPECT_LT(elapsed_ms(start), 2000);
      });
}

TEST_F(Tls, LaterConnectionsResumeTheStoredSessionEvenAfterAnUncleanEnd) {
  for (TlsVersionCap cap : {TlsVersionCap::tls13, TlsVersionCap::tls12}) {
    const std::string version = cap == TlsVersionCap::tls13 ? "TLSv1.3" : "TLSv1.2";
    auto sctx = server_ctx();
    auto cctx = client_ctx("", cap);
    auto store = std::make_shared<TlsSessionStore>();
    for (int i = 1; i <= 5; ++i) {
      SocketPair pair;
      bool reused = false;
      converse(
          pair, *sctx,
          [&](TlsStream& s) {
            ASSERT_EQ(s.handshake(kLimitMs), TlsResult::ok) << s.error();
            EXPECT_TRUE(s.write_all("220 ok\r\n", 8, kLimitMs));
            s.close_notify(kLimitMs);
          },
          *cctx,
          [&](TlsStream& c) {
            ASSERT_EQ(c.handshake(kLimitMs), TlsResult::ok) << c.error();
            EXPECT_EQ(c.protocol(), version);
            reused = c.session_reused();
            // The third one is dropped without a close_notify and must not
            // spoil the stored session for the fourth and fifth.
            EXPECT_EQ(read_upto(c, i == 3 ? 8 : 100), "220 ok\r\n");
            if (i != 3) {
              EXPECT_EQ(c.close_notify(kLimitMs), TlsResult::ok) << c.error();
            }
          },
          store);
      EXPECT_EQ(reused, i > 1) << version << " connection " << i;
      EXPECT_TRUE(store->has_session());
    }
  }
}

TEST_F(Tls, VerificationAgainstTheRightCaAndNameOnly) {
  auto sctx = server_ctx();
  struct Case {
    std::string ca, peer, error;
  } cases[] = {
      {certs_->ca, "127.0.0.1", ""},
      {certs_->ca, "localhost", ""},
      {"", "elsewhere.example", ""},  // verifies nothing
      {certs_->other_ca, "127.0.0.1",
       "certificate not signed by " + certs_->other_ca + " (unable to get local issuer certificate)"},
      {certs_->ca, "elsewhere.example",
       "certificate name mismatch: expected elsewhere.example, the certificate holds IP:127.0.0.1, DNS:localhost"},
      {certs_->ca, "::1", "certificate name mismatch: expected ::1, the certificate holds IP:127.0.0.1, DNS:localhost"},
  };
  for (const Case& k : cases) {
    auto cctx = client_ctx(k.ca);
    SocketPair pair;
    TlsResult server_result{}, client_result{};
    std::string client_error;
    converse(
        pair, *sctx, [&](TlsStream& s) { server_result = s.handshake(kLimitMs); }, *cctx,
        [&](TlsStream& c) {
          client_result = c.handshake(kLimitMs);
          client_error = c.error();
        },
        nullptr, k.peer);
    bool ok = k.error.empty();
    EXPECT_EQ(client_result, ok ? TlsResult::ok : TlsResult::failed) << k.ca << " " << k.peer;
    EXPECT_EQ(server_result, ok ? TlsResult::ok : TlsResult::failed) << k.ca << " " << k.peer;
    EXPECT_EQ(client_error, k.error);
  }
}

TEST_F(Tls, ContextsNameTheFileAtFault) {
  const std::string missing = certs_->dir.file("missing.pem");
  std::string error;
  EXPECT_EQ(TlsContext::server(missing, certs_->key, error), nullptr);
  EXPECT_EQ(error, "cannot read TLS certificate file " + missing + ": No such file or directory");
  EXPECT_EQ(TlsContext::server(certs_->key, certs_->key, error), nullptr);
  EXPECT_EQ(error.rfind("cannot read TLS certificate file " + certs_->key + ": ", 0), 0u) << error;
  EXPECT_EQ(TlsContext::server(certs_->cert, missing, error), nullptr);
  EXPECT_EQ(error, "cannot read TLS key file " + missing + ": No such file or directory");
  EXPECT_EQ(TlsContext::server(certs_->cert, certs_->stray_key, error), nullptr);
  EXPECT_EQ(error, "TLS key file " + certs_->stray_key + " does not match the certificate " + certs_->cert);
  EXPECT_EQ(TlsContext::client(missing, error), nullptr);
  EXPECT_EQ(error, "cannot read TLS CA file " + missing + ": No such file or directory");
  EXPECT_EQ(TlsContext::client(certs_->key, error), nullptr);
  EXPECT_EQ(error.rfind("cannot read TLS CA file " + certs_->key + ": ", 0), 0u) << error;
}

}  // namespace
