#include "ferrynet/core/address_block.h"

#include <cstring>

namespace ferrynet {

namespace {

// The host bytes of `a` in network order, and their count; an IPv4-mapped
// IPv6 host gives its four IPv4 bytes.
int host_bytes(const Address& a, uint8_t (&out)[16]) {
  int quad[4];
  if (a.quad(quad)) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(quad[i]);
    return 4;
  }
  if (!a.ipv6_bytes(out)) return 0;
  static const uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (std::memcmp(out, kMappedPrefix, sizeof kMappedPrefix) == 0) {
    std::memmove(out, out + 12, 4);
    return 4;
  }
  return 16;
}

}  // namespace

std::optional<AddressBlock> AddressBlock::parse(std::string_view text) {
  const size_t slash = text.find('/');
  std::optional<Address> host = Address::parse(text.substr(0, slash), 0);
  if (!host) return std::nullopt;
  AddressBlock b;
  const int count = host_bytes(*host, b.bytes_);
  if (count == 0) return std::nullopt;
  b.family_ = count == 4 ? AF_INET : AF_INET6;
  b.prefix_bits_ = count * 8;
  if (slash != std::string_view::npos) {
    std::string_view bits = text.substr(slash + 1);
    if (bits.empty() || bits.size() > 3) return std::nullopt;
    int n = 0;
    for (char ch : bits) {
      if (ch < '0' || ch > '9') return std::nullopt;
      n = n * 10 + (ch - '0');
    }
    if (n > count * 8) return std::nullopt;
    b.prefix_bits_ = n;
  }
  return b;
}

bool AddressBlock::contains(const Address& a) const {
  uint8_t host[16] = {};
  const int count = host_bytes(a, host);
  if (count == 0 || (count == 4) != (family_ == AF_INET)) return false;
  const int whole = prefix_bits_ / 8, rest = prefix_bits_ % 8;
  if (std::memcmp(host, bytes_, static_cast<size_t>(whole)) != 0) return false;
  if (rest == 0) return true;
  const uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rest));
  return (host[whole] & mask) == (bytes_[whole] & mask);
}

std::optional<std::vector<AddressBlock>> parse_address_blocks(std::string_view text) {
  std::vector<AddressBlock> blocks;
  while (!text.empty()) {
    const size_t start = text.find_first_not_of(" \t");
    if (start == std::string_view::npos) break;
    text.remove_prefix(start);
    const size_t end = text.find_first_of(" \t");
    std::optional<AddressBlock> b = AddressBlock::parse(text.substr(0, end));
    if (!b) return std::nullopt;
    blocks.push_back(*b);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end);
  }
  if (blocks.empty()) return std::nullopt;
  return blocks;
}

bool any_contains(const std::vector<AddressBlock>& blocks, const Address& a) {
  for (const AddressBlock& b : blocks)
    if (b.contains(a)) return true;
  return false;
}

}  // namespace ferrynet
