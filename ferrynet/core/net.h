// Network primitives: every time-limited socket operation of the daemon goes
// through here, and every wait is a poll() so any descriptor number works.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "ferrynet/core/fd.h"

namespace ferrynet {

struct Listener {
  Fd fd;
  uint16_t port = 0;  // host order, as bound
  sockaddr_in addr{};
};

// IPv4 address in network order; 0 when it cannot be resolved.
uint32_t resolve_host(const char* host);
// Dotted quad of the machine's host name ("0.0.0.0" when it does not resolve).
std::optional<std::string> local_host_address();
// `address` none or "*" listens on every local address; port 0 lets the system choose.
std::unique_ptr<Listener> create_listener(const char* address, uint16_t port);
// 1 when bound or nothing to do, 0 on failure.
int bind_local(int sock, const char* local_address, uint16_t local_port);
// Connected socket; 0 when no connection came (or it vanished); -1 on error.
// A limit of 0 waits without end.
int accept_timed(int listen_fd, sockaddr_in* peer, int limit_seconds);
// Connected (blocking) socket or -1 with errno set (ETIMEDOUT when time ran out).
int connect_timed(sockaddr_in* out, const char* host, uint16_t port, const char* local_address,
                  uint16_t local_port, int limit_seconds);
// 1 readable; -1 on time-out (errno ETIMEDOUT) or error.
int wait_readable(int fd, int limit_seconds);
// Waits until one of `count` descriptors is readable; ready[i] tells which.
// Returns the number ready, 0 after limit_ms, -1 on error. limit_ms < 0 waits without end.
int wait_any_readable(const int* fds, int count, int limit_ms, bool* ready);
// One line byte by byte: its length with the "\n", 0 at end of stream,
// -1 on time-out, error, or a line reaching `size` bytes.
int read_line(int fd, char* buffer, int size, int deadline_seconds);
// Length of the first line with its "\n" within `bound` bytes; -1 if none.
int line_length(const char* text, int bound);
// Formats at most 1024 characters and sends them in one call.
long send_line(int fd, const char* format, ...) __attribute__((format(printf, 2, 3)));
// For control connections: replies go out as small writes in quick succession
// ("150" then "226"), and holding one back to coalesce it stalls on the
// peer's delayed acknowledgement. Bulk data connections keep coalescing.
void send_without_delay(int fd);
// Sends exactly `len` bytes (a write loop for large relayed text); -1 on failure.
long send_all(int fd, const char* data, size_t len);

// Thread-safe dotted quad of a network-order address.
std::string dotted_quad(uint32_t addr_network_order);

}  // namespace ferrynet
