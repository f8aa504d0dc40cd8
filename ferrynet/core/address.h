// One network address: family, host and port. Everything outside the core
// names peers with this, never with a sockaddr or a bare dotted quad.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ferrynet {

class Address {
 public:
  Address() = default;
  static Address ipv4(uint32_t network_order, uint16_t port);
  // An IPv4 peer of a dual-stack socket arrives IPv4-mapped; it is kept as
  // the IPv4 address it is, so logs, checks and replies see one form.
  static std::optional<Address> from_sockaddr(const sockaddr* sa, socklen_t len);
  // A numeric host (dotted quad, or an IPv6 literal) and a port.
  static std::optional<Address> parse(std::string_view host, uint16_t port);
  // A numeric host (an IPv6 literal also in brackets) or a name looked up
  // for IPv4, as the configuration names hosts.
  static std::optional<Address> resolve(const char* host, uint16_t port);

  bool valid() const { return family_ != AF_UNSPEC; }
  int family() const { return family_; }
  uint16_t port() const { return port_; }
  Address with_port(uint16_t port) const;
  // Text of the host alone: "127.0.0.1" or "::1".
  std::string host() const;
  bool same_host(const Address& other) const;
  // The four numbers of an IPv4 host; false for any other family.
  bool quad(int out[4]) const;
  // The sixteen bytes of an IPv6 host, network order; false for any other family.
  bool ipv6_bytes(uint8_t (&out)[16]) const;
  bool is_ipv4() const { return family_ == AF_INET; }
  bool is_ipv6() const { return family_ == AF_INET6; }
  bool is_any() const;
  socklen_t to_sockaddr(sockaddr_storage& out) const;

 private:
  int family_ = AF_UNSPEC;
  uint8_t bytes_[16] = {};  // network order; four used for IPv4
  uint16_t port_ = 0;
};

}  // namespace ferrynet
