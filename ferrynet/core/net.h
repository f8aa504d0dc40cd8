// Making connections: listeners, timed accepts and timed connects. Every
// wait is a poll() so any descriptor number works.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "ferrynet/core/address.h"
#include "ferrynet/core/connection.h"
#include "ferrynet/core/fd.h"

namespace ferrynet {

enum class AcceptStatus {
  kAccepted,
  kNothing,  // no connection within the limit, or one that vanished: try again
  kFailed,   // the listener itself is broken; errno-style code in `error`
};

struct AcceptOutcome {
  AcceptStatus status = AcceptStatus::kNothing;
  Connection conn;
  Address peer;
  int error = 0;
};

struct ConnectOutcome {
  Connection conn;
  Address to;     // the address tried, when it could be resolved
  int error = 0;  // errno of the failure; ETIMEDOUT when time ran out
  bool ok() const { return conn.valid(); }
};

class Listener {
 public:
  explicit Listener(Fd fd) : fd_(std::move(fd)) {}
  uint16_t port = 0;  // as bound
  Address addr;
  // Waits at most `limit_seconds` (0: without end). The connection is blocking.
  AcceptOutcome accept(int limit_seconds);
  // The same with a limit in milliseconds (0: only what is already pending).
  AcceptOutcome accept_within_ms(int limit_ms);
  // A copy of the listening socket at or above `min_fd`, for tests of high descriptor numbers.
  std::unique_ptr<Listener> duplicate_at(int min_fd) const;

 private:
  Fd fd_;
};

// `address` none or "*" listens on every local address of both families (IPv4
// alone where the machine has no IPv6); port 0 lets the system choose.
std::unique_ptr<Listener> create_listener(const char* address, uint16_t port);
// Connects from `local_address` (none or "*": any; one of the other family
// than `host` is not used) within `limit_seconds` (0: only at once).
ConnectOutcome connect_timed(const char* host, uint16_t port, const char* local_address, uint16_t local_port,
                             int limit_seconds);
ConnectOutcome connect_timed(const Address& to, const char* local_address, int limit_seconds);

struct ConnectRequest {
  const char* host = nullptr;
  uint16_t port = 0;
  const char* local_address = nullptr;
  uint16_t local_port = 0;
};
// Starts every connect at once and waits for them together, so the slowest
// peer, not the sum of all, sets the time: each within `limit_seconds` as
// connect_timed() would. out[i] is the outcome of requests[i].
void connect_together(const ConnectRequest* requests, ConnectOutcome* out, int count, int limit_seconds);

// Host name or numeric host; none when it cannot be resolved.
std::optional<Address> resolve_host(const char* host);
// The address of the machine's host name as text ("0.0.0.0" when it does not resolve).
std::optional<std::string> local_host_address();
// Length of the first line with its "\n" within `bound` bytes; -1 if none.
int line_length(const char* text, int bound);

}  // namespace ferrynet
