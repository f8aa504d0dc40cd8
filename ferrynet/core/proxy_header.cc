#include "ferrynet/core/proxy_header.h"

#include <netinet/in.h>

#include <cstring>
#include <optional>
#include <string_view>

namespace ferrynet {

namespace {

constexpr char kV1Prefix[] = "PROXY ";
constexpr size_t kV1PrefixLen = sizeof kV1Prefix - 1;
constexpr uint8_t kV2Signature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};

constexpr uint8_t kV2Version = 0x2;
constexpr uint8_t kV2CommandLocal = 0x0;
constexpr uint8_t kV2CommandProxy = 0x1;
constexpr uint8_t kV2FamilyUnspec = 0x0;
constexpr uint8_t kV2FamilyInet = 0x1;
constexpr uint8_t kV2FamilyInet6 = 0x2;
constexpr uint8_t kV2FamilyUnix = 0x3;
constexpr uint8_t kV2Stream = 0x1;
constexpr uint8_t kV2Dgram = 0x2;
constexpr size_t kV2Inet = 12;    // two IPv4 addresses and two ports
constexpr size_t kV2Inet6 = 36;   // two IPv6 addresses and two ports
constexpr size_t kV2TlvHead = 3;  // type and a 16-bit length

// Whether the `len` bytes could be the start of `prefix`.
bool starts_like(const uint8_t* data, size_t len, const void* prefix, size_t prefix_len) {
  return std::memcmp(data, prefix, len < prefix_len ? len : prefix_len) == 0;
}

uint16_t big_endian16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// A decimal port: digits only, at most five, at most 65535.
bool read_port(std::string_view text, uint16_t& port) {
  if (text.empty() || text.size() > 5) return false;
  uint32_t n = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return false;
    n = n * 10 + static_cast<uint32_t>(ch - '0');
  }
  if (n > 65535) return false;
  port = static_cast<uint16_t>(n);
  return true;
}

// The fields of one v1 line between "PROXY " and its CR, blank-separated.
bool read_v1_fields(std::string_view rest, ProxyHeader& out) {
  std::string_view fields[5];
  size_t count = 0;
  while (count < 5) {
    const size_t blank = rest.find(' ');
    fields[count++] = rest.substr(0, blank);
    if (blank == std::string_view::npos) {
      rest = {};
      break;
    }
    rest.remove_prefix(blank + 1);
  }
  // A balancer that cannot name the client says UNKNOWN; what follows is not read.
  if (count >= 1 && fields[0] == "UNKNOWN") {
    out = ProxyHeader{};
    return true;
  }
  if (count != 5 || !rest.empty()) return false;
  const int family = fields[0] == "TCP4" ? AF_INET : fields[0] == "TCP6" ? AF_INET6 : AF_UNSPEC;
  if (family == AF_UNSPEC) return false;
  uint16_t source_port = 0, destination_port = 0;
  if (!read_port(fields[3], source_port) || !read_port(fields[4], destination_port)) return false;
  std::optional<Address> source = Address::parse(fields[1], source_port);
  std::optional<Address> destination = Address::parse(fields[2], destination_port);
  if (!source || !destination || source->family() != family || destination->family() != family) return false;
  out.has_addresses = true;
  out.source = *source;
  out.destination = *destination;
  return true;
}

ProxyParse parse_v1(const uint8_t* data, size_t len, size_t& needed, ProxyHeader& out) {
  const size_t window = len < kProxyV1Max ? len : kProxyV1Max;
  const void* lf = std::memchr(data, '\n', window);
  if (lf == nullptr) {
    if (len >= kProxyV1Max) return ProxyParse::kInvalid;
    // One byte at a time from here: the line's end is not known before it comes.
    needed = len + 1 > kProxyFirstRead ? len + 1 : kProxyFirstRead;
    return ProxyParse::kNeedMore;
  }
  const size_t end = static_cast<size_t>(static_cast<const uint8_t*>(lf) - data);
  if (end < kV1PrefixLen + 1 || data[end - 1] != '\r') return ProxyParse::kInvalid;
  std::string_view line(reinterpret_cast<const char*>(data) + kV1PrefixLen, end - 1 - kV1PrefixLen);
  for (char ch : line)
    if (ch == '\r' || ch == '\0') return ProxyParse::kInvalid;
  ProxyHeader read;
  if (!read_v1_fields(line, read)) return ProxyParse::kInvalid;
  needed = end + 1;
  out = read;
  return ProxyParse::kDone;
}

Address v2_address(int family, const uint8_t* host, const uint8_t* port) {
  if (family == AF_INET) {
    uint32_t network_order;
    std::memcpy(&network_order, host, 4);
    return Address::ipv4(network_order, big_endian16(port));
  }
  sockaddr_in6 in6{};
  in6.sin6_family = AF_INET6;
  std::memcpy(&in6.sin6_addr, host, 16);
  std::memcpy(&in6.sin6_port, port, 2);  // both in network order
  return Address::from_sockaddr(reinterpret_cast<const sockaddr*>(&in6), sizeof in6).value_or(Address());
}

ProxyParse parse_v2(const uint8_t* data, size_t len, size_t& needed, ProxyHeader& out) {
  if (len < kProxyV2Fixed) {
    needed = kProxyV2Fixed;
    return ProxyParse::kNeedMore;
  }
  const uint8_t version = data[12] >> 4, command = data[12] & 0x0F;
  const uint8_t family = data[13] >> 4, transport = data[13] & 0x0F;
  if (version != kV2Version || (command != kV2CommandLocal && command != kV2CommandProxy)) return ProxyParse::kInvalid;
  if (family > kV2FamilyUnix || transport > kV2Dgram) return ProxyParse::kInvalid;
  const size_t body = big_endian16(data + 14);
  const size_t total = kProxyV2Fixed + body;
  if (len < total) {
    needed = total;
    return ProxyParse::kNeedMore;
  }
  const uint8_t* p = data + kProxyV2Fixed;
  ProxyHeader read;
  // A balancer's own connection (a health check), or a client it cannot name.
  if (command == kV2CommandLocal || family == kV2FamilyUnspec || family == kV2FamilyUnix) {
    needed = total;
    out = read;
    return ProxyParse::kDone;
  }
  // An FTP control connection is a stream; a datagram header is not one of ours.
  if (transport != kV2Stream || (family != kV2FamilyInet && family != kV2FamilyInet6)) return ProxyParse::kInvalid;
  const bool v6 = family == kV2FamilyInet6;
  const size_t block = v6 ? kV2Inet6 : kV2Inet;
  const size_t host_len = v6 ? 16 : 4;
  if (body < block) return ProxyParse::kInvalid;
  const int af = v6 ? AF_INET6 : AF_INET;
  read.has_addresses = true;
  read.source = v2_address(af, p, p + 2 * host_len);
  read.destination = v2_address(af, p + host_len, p + 2 * host_len + 2);
  if (!read.source.valid() || !read.destination.valid()) return ProxyParse::kInvalid;
  // The extensions (TLVs) carry nothing the daemon uses, but each must fit.
  size_t at = block;
  while (at < body) {
    if (body - at < kV2TlvHead) return ProxyParse::kInvalid;
    const size_t value = big_endian16(p + at + 1);
    if (body - at - kV2TlvHead < value) return ProxyParse::kInvalid;
    at += kV2TlvHead + value;
  }
  needed = total;
  out = read;
  return ProxyParse::kDone;
}

}  // namespace

ProxyParse parse_proxy_header(const uint8_t* data, size_t len, size_t& needed, ProxyHeader& out) {
  if (len == 0 || data == nullptr) {
    needed = kProxyFirstRead;
    return ProxyParse::kNeedMore;
  }
  if (starts_like(data, len, kV1Prefix, kV1PrefixLen)) {
    if (len < kV1PrefixLen) {
      needed = kProxyFirstRead;
      return ProxyParse::kNeedMore;
    }
    return parse_v1(data, len, needed, out);
  }
  if (starts_like(data, len, kV2Signature, sizeof kV2Signature)) {
    if (len < sizeof kV2Signature) {
      needed = kProxyFirstRead;
      return ProxyParse::kNeedMore;
    }
    return parse_v2(data, len, needed, out);
  }
  return ProxyParse::kInvalid;
}

}  // namespace ferrynet
