// A block of addresses written as an address with an optional prefix length
// ("10.0.0.0/8", "2001:db8::/32", "127.0.0.1"), for the lists of trusted peers.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "ferrynet/core/address.h"

namespace ferrynet {

class AddressBlock {
 public:
  // None unless the text is a numeric address and, after a "/", a prefix
  // length within its family's bits.
  static std::optional<AddressBlock> parse(std::string_view text);
  // IPv4 peers seen through a dual-stack socket (::ffff:a.b.c.d) match IPv4 blocks.
  bool contains(const Address& a) const;

 private:
  int family_ = AF_UNSPEC;
  uint8_t bytes_[16] = {};
  int prefix_bits_ = 0;
};

// A blank-separated list of blocks; none if any entry does not read or there is none.
std::optional<std::vector<AddressBlock>> parse_address_blocks(std::string_view text);
bool any_contains(const std::vector<AddressBlock>& blocks, const Address& a);

}  // namespace ferrynet
