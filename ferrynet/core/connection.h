// A connected socket with one owner. It is the only code that reads, writes,
// waits on or shuts down a socket; everything above it decides what to say
// and to whom. Move-only; the descriptor closes once, with its owner.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "ferrynet/core/address.h"
#include "ferrynet/core/fd.h"

namespace ferrynet {

class Connection {
 public:
  Connection() = default;
  explicit Connection(Fd fd) : fd_(std::move(fd)) {}
  Connection(Connection&&) noexcept = default;
  Connection& operator=(Connection&&) noexcept = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool valid() const { return fd_.valid(); }
  void close() { fd_.reset(); }

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
  bool buffered() const { return false; }
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
  Fd fd_;
};

// Waits until one of `count` connections (null entries are skipped) has
// something to read; ready[i] tells which. The number ready, 0 after
// `limit_ms`, -1 on error. limit_ms < 0 waits without end.
int wait_any_readable(Connection* const* conns, int count, int limit_ms, bool* ready);

}  // namespace ferrynet
