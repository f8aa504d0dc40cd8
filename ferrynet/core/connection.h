// A connected socket with one owner. It is the only code that reads, writes,
// waits on or shuts down a socket; everything above it decides what to say
// and to whom. Move-only; the descriptor closes once, with its owner.
#pragma once

#include <signal.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "ferrynet/core/address.h"
#include "ferrynet/core/fd.h"
#include "ferrynet/core/tls.h"

namespace ferrynet {

class Connection {
 public:
  Connection() = default;
  explicit Connection(Fd fd) : fd_(std::move(fd)) {}
  Connection(Connection&&) noexcept = default;
  Connection& operator=(Connection&& other) noexcept {
    if (this != &other) {
      close();
      fd_ = std::move(other.fd_);
      tls_ = std::move(other.tls_);
      tls_lock_ = std::move(other.tls_lock_);
    }
    return *this;
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool valid() const { return fd_.valid(); }
  // Ends TLS first (a close_notify, not waited for long), then the socket.
  void close();
  ~Connection();

  // Puts TLS over the connection within `limit_ms`: the role follows the
  // context (server towards clients, client towards sites). A client side
  // offers and keeps the sessions of `store`, and checks the certificate
  // against `peer_name` (see TlsStream::open). On failure the reason is in `error`.
  TlsResult start_tls(const TlsContext& ctx, int limit_ms, std::shared_ptr<TlsSessionStore> store = nullptr,
                      std::string* error = nullptr, const std::string& peer_name = "");
  bool secure() const { return tls_ != nullptr; }
  // Sends the close_notify that ends a protected stream cleanly.
  void end_tls(int limit_ms);
  // Ends a data stream so that the peer keeps every byte: our end (a
  // close_notify, then the socket's sending side), then what the peer still
  // sends is read and dropped until it closes, at most `limit_ms`. Closing
  // with unread bytes would reset the connection, and a peer that has not
  // read all of ours yet loses them.
  void finish(int limit_ms);
  // Our sending side alone: a close_notify if protected, then the socket's
  // write half. The peer still sends, and we still read.
  void end_sending(int limit_ms);
  // Whether the TLS session of a client side was resumed, and its protocol.
  bool tls_resumed() const;
  std::string tls_protocol() const;

  // What has arrived, waiting at most `limit_ms` for something (0: only a
  // look; < 0: no limit). Bytes read; 0 at end of stream; -1 on failure, or
  // with errno EAGAIN when nothing came in time.
  long read_some(char* buffer, size_t size, int limit_ms);
  // Every byte, failing when no byte can go for `idle_limit_ms` (< 0: no limit).
  bool write_all(const char* data, size_t len, int idle_limit_ms);
  bool write_all(std::string_view text, int idle_limit_ms) { return write_all(text.data(), text.size(), idle_limit_ms); }
  // Formats at most 1024 characters and sends them; the characters sent, -1 on failure.
  long send_line(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // One line byte by byte, leaving what follows unread: its length with the
  // "\n", 0 at end of stream, -1 on time-out, error, or a line reaching `size` bytes.
  int read_line(char* buffer, int size, int deadline_seconds);
  // True when bytes are already held above the socket, where a wait on it would miss them.
  bool buffered() const;
  // True when the bytes on the socket are the connection's bytes as they
  // are, so the kernel may move them between sockets itself (Splicer): no
  // TLS under it.
  bool plain() const { return valid() && !tls_; }
  // 1 readable (or closed); -1 on time-out (errno ETIMEDOUT) or error.
  int wait_readable(int limit_seconds);

  // Safe from another thread while the owner waits: the wait then returns.
  void shutdown_both() const;
  void shutdown_write() const;
  // For control connections: small replies go out at once instead of being
  // held for the peer's delayed acknowledgement.
  void send_without_delay() const;
  std::optional<Address> peer() const;
  std::optional<Address> local() const;

 private:
  friend int wait_any_readable(Connection* const* conns, int count, int limit_ms, bool* ready);
  friend class Listener;
  friend class Splicer;
  // Declared first so it closes last: the TLS stream does not own the socket.
  Fd fd_;
  std::unique_ptr<TlsStream> tls_;
  // A protected connection shared by a bounce's legs is read by one and
  // written by another; the TLS state must see one caller at a time.
  std::unique_ptr<std::mutex> tls_lock_;
};

// Carries bytes both ways between two plain connections through pipes in
// the kernel (splice(2)), so they never pass through user space. While it
// lives, both sockets are in non-blocking mode (their modes come back
// after), so that no splice can wait: every wait is a poll; and SIGPIPE is
// held back in the calling thread, as send() with MSG_NOSIGNAL would. Used
// by one thread, the one that made it.
class Splicer {
 public:
  // ready() is false when either end is not plain or no pipes could be had:
  // copy through user space instead.
  Splicer(Connection& a, Connection& b);
  ~Splicer();
  Splicer(const Splicer&) = delete;
  Splicer& operator=(const Splicer&) = delete;
  bool ready() const { return ready_; }

  enum class Result {
    kEnd,          // an end reached end of stream; every byte taken was delivered
    kUnsupported,  // the kernel cannot splice these ends; every byte taken was
                   // delivered: carry on through user space
    kReadFailed,   // errno says why
    kWriteFailed,  // errno says why (ETIMEDOUT: an end took nothing for the idle limit)
  };
  struct Outcome {
    Result result;
    long long bytes = 0;  // delivered, both ways together
  };
  // Runs until an end reaches end of stream (what the pipes hold then goes
  // on first) or a failure. With `b_half_closes`, end of stream from b ends
  // only its way: a's sending side is shut once that way's bytes are out,
  // and the run goes on until a ends. Each way has its own pipe and the two halves of
  // each overlap: while one end is slow to take, the other keeps filling its
  // pipe. A way whose bytes find no taker fails after `idle_limit_ms` with
  // no progress; waiting for bytes to arrive is limited by `read_limit_ms`
  // (< 0: no limit), after which the run ends as at end of stream.
  Outcome run(int idle_limit_ms, int read_limit_ms, bool b_half_closes = false);

 private:
  struct Way {
    Connection* from;
    Connection* to;
    Fd out, in;        // the pipe's read and write ends
    size_t held = 0;         // bytes in the pipe
    bool full = false;       // the pipe took no more: read again once some went out
    // Its receiver took less than the pipe held: read again once the pipe is
    // empty, so that a slow receiver gets few large splices, not many small ones.
    bool behind = false;
    bool ended = false;      // its end half-closed: read no more, shut the other's sending side once empty
    bool shut = false;       // that has been done
    long long since_ms = 0;  // when the bytes in the pipe last made progress
  };
  // Writes what a way's pipe holds through user space: a kernel that took
  // bytes into a pipe but cannot splice them out loses none.
  bool drain_by_copy(Way& w, int idle_limit_ms);

  Way ways_[2];
  int modes_[2] = {-1, -1};  // the sockets' file status flags before
  sigset_t signals_before_;
  bool signals_held_ = false;
  size_t capacity_ = 0;
  bool ready_ = false;
};

// Waits until one of `count` connections (null entries are skipped) has
// something to read; ready[i] tells which. The number ready, 0 after
// `limit_ms`, -1 on error. limit_ms < 0 waits without end.
int wait_any_readable(Connection* const* conns, int count, int limit_ms, bool* ready);

}  // namespace ferrynet
