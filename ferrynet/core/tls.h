// TLS for the daemon's connections: contexts made once at start and streams
// over sockets owned elsewhere. The only place the TLS library is seen.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace ferrynet {

enum class TlsVersionCap { tls13, tls12 };  // newest version offered or accepted

// Certificates, keys, trust and session caches. Fully set up when made and
// only read afterwards, so every thread may start streams from one context.
class TlsContext {
 public:
  // Shows `cert_file` (a PEM chain, leaf first) with `key_file` to clients.
  // Null on failure, with `error` naming the file at fault.
  static std::shared_ptr<const TlsContext> server(const std::string& cert_file, const std::string& key_file,
                                                  std::string& error,
                                                  TlsVersionCap cap = TlsVersionCap::tls13,
                                                  bool tls13_tickets = false);
  // Verifies peers against the PEM bundle `ca_file`; an empty name verifies
  // nothing. A certificate it did not sign is reported as not signed by
  // `trust_name` (none: the file's name).
  static std::shared_ptr<const TlsContext> client(const std::string& ca_file, std::string& error,
                                                  TlsVersionCap cap = TlsVersionCap::tls13,
                                                  const std::string& trust_name = "");
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  bool is_server() const;
  bool verifies_peer() const;

 private:
  friend class TlsStream;
  struct Impl;
  explicit TlsContext(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

struct TlsSessionSlot;

// The newest session a site gave one control connection, so that its data
// connections can resume it (some servers refuse data connections that don't).
// Shared by the control connection's thread and its data threads; it locks itself.
class TlsSessionStore {
 public:
  TlsSessionStore();
  ~TlsSessionStore();
  TlsSessionStore(const TlsSessionStore&) = delete;
  TlsSessionStore& operator=(const TlsSessionStore&) = delete;

  bool has_session() const;

 private:
  friend class TlsStream;
  std::unique_ptr<TlsSessionSlot> slot_;
};

enum class TlsResult { ok, timed_out, failed };

// One TLS session over a socket it does not own: the descriptor stays open
// when the stream goes. The descriptor is switched to non-blocking mode and
// stays so; every wait is a poll() bounded by the call's limit (a limit below
// 0 counts as 0). Not thread-safe: one caller at a time.
class TlsStream {
 public:
  // The role follows the context. `peer_name` (client streams only) is sent
  // as the server name and, with a verifying context, must match the
  // certificate; an IPv4 or IPv6 address is matched as an address and not
  // sent. A refused certificate's error() says why: the name expected and
  // the names it holds, its expiry, or who did not sign it. Null when `fd` is
  // not an open descriptor or the library is out of memory.
  static std::unique_ptr<TlsStream> open(const TlsContext& ctx, int fd, const std::string& peer_name = "");
  ~TlsStream();
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;

  // Client streams, before the handshake: offer the store's session, and
  // keep every session the peer hands out later as the store's newest.
  void use_session_store(std::shared_ptr<TlsSessionStore> store);

  TlsResult handshake(int limit_ms);
  // Bytes read (> 0); 0 at the end of the stream (see clean_end()) or when
  // n is 0; -1 on error or time-out (see timed_out() and error()).
  long read(char* buf, size_t n, int limit_ms);
  // True when every byte went.
  bool write_all(const char* data, size_t n, int limit_ms);
  // Decrypted bytes wait inside the stream: a poll() on the socket would not see them.
  bool pending() const;
  // Sends our close_notify; does not wait for the peer's.
  TlsResult close_notify(int limit_ms);

  bool session_reused() const;
  // "TLSv1.3", "TLSv1.2", or "none" before the handshake.
  std::string protocol() const;
  // Whether the end of stream came with a close_notify (false: the peer
  // just closed its TCP side, and a truncation cannot be ruled out).
  bool clean_end() const;
  // Whether the last failed call ran out of time.
  bool timed_out() const;
  // The reason of the last failure.
  const std::string& error() const;

 private:
  struct Impl;
  explicit TlsStream(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace ferrynet
