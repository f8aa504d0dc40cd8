#include "ferrynet/core/address.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstring>

namespace ferrynet {

Address Address::ipv4(uint32_t network_order, uint16_t port) {
  Address a;
  a.family_ = AF_INET;
  std::memcpy(a.bytes_, &network_order, 4);
  a.port_ = port;
  return a;
}

std::optional<Address> Address::from_sockaddr(const sockaddr* sa, socklen_t len) {
  if (sa == nullptr) return std::nullopt;
  Address a;
  if (sa->sa_family == AF_INET && len >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
    a.family_ = AF_INET;
    std::memcpy(a.bytes_, &in->sin_addr, 4);
    a.port_ = ntohs(in->sin_port);
    return a;
  }
  if (sa->sa_family == AF_INET6 && len >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
    a.port_ = ntohs(in6->sin6_port);
    if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
      a.family_ = AF_INET;
      std::memcpy(a.bytes_, in6->sin6_addr.s6_addr + 12, 4);
      return a;
    }
    a.family_ = AF_INET6;
    std::memcpy(a.bytes_, &in6->sin6_addr, 16);
    return a;
  }
  return std::nullopt;
}

std::optional<Address> Address::parse(std::string_view host, uint16_t port) {
  char text[INET6_ADDRSTRLEN + 1] = {};
  if (host.empty() || host.size() >= sizeof text) return std::nullopt;
  std::memcpy(text, host.data(), host.size());
  Address a;
  a.port_ = port;
  if (inet_pton(AF_INET, text, a.bytes_) == 1) {
    a.family_ = AF_INET;
    return a;
  }
  if (inet_pton(AF_INET6, text, a.bytes_) == 1) {
    a.family_ = AF_INET6;
    return a;
  }
  return std::nullopt;
}

std::optional<Address> Address::resolve(const char* host, uint16_t port) {
  if (host == nullptr || *host == '\0') return std::nullopt;
  // inet_addr's forms ("127.1", octal parts) are what configurations were written with.
  in_addr_t quad = inet_addr(host);
  if (quad != INADDR_NONE) return ipv4(quad, port);
  std::string_view literal(host);
  if (literal.size() > 2 && literal.front() == '[' && literal.back() == ']')
    literal = literal.substr(1, literal.size() - 2);
  if (literal.find(':') != std::string_view::npos) {
    std::optional<Address> six = parse(literal, port);
    if (six && six->family_ == AF_INET6) return six;
    return std::nullopt;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &res) != 0 || res == nullptr) return std::nullopt;
  std::optional<Address> out = from_sockaddr(res->ai_addr, res->ai_addrlen);
  freeaddrinfo(res);
  if (out) out->port_ = port;
  return out;
}

Address Address::with_port(uint16_t port) const {
  Address a = *this;
  a.port_ = port;
  return a;
}

std::string Address::host() const {
  char text[INET6_ADDRSTRLEN] = {};
  if (family_ == AF_UNSPEC || inet_ntop(family_, bytes_, text, sizeof text) == nullptr) return {};
  return text;
}

bool Address::same_host(const Address& other) const {
  if (family_ != other.family_) return false;
  return std::memcmp(bytes_, other.bytes_, family_ == AF_INET ? 4 : 16) == 0;
}

bool Address::quad(int out[4]) const {
  if (family_ != AF_INET) return false;
  for (int i = 0; i < 4; ++i) out[i] = bytes_[i];
  return true;
}

bool Address::ipv6_bytes(uint8_t (&out)[16]) const {
  if (family_ != AF_INET6) return false;
  std::memcpy(out, bytes_, 16);
  return true;
}

bool Address::is_any() const {
  static const uint8_t zero[16] = {};
  return valid() && std::memcmp(bytes_, zero, family_ == AF_INET ? 4 : 16) == 0;
}

socklen_t Address::to_sockaddr(sockaddr_storage& out) const {
  std::memset(&out, 0, sizeof out);
  if (family_ == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(&out);
    in->sin_family = AF_INET;
    in->sin_port = htons(port_);
    std::memcpy(&in->sin_addr, bytes_, 4);
    return sizeof(sockaddr_in);
  }
  if (family_ == AF_INET6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&out);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port_);
    std::memcpy(&in6->sin6_addr, bytes_, 16);
    return sizeof(sockaddr_in6);
  }
  return 0;
}

}  // namespace ferrynet
