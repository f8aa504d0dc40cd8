// The header a TCP load balancer puts before a client's first byte to name
// the client it carries (PROXY protocol, text version 1 and binary version 2).
// A pure reader over the bytes received so far: it says how many bytes the
// header needs in all, so its caller never reads a byte past the header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ferrynet/core/address.h"

namespace ferrynet {

inline constexpr size_t kProxyV1Max = 107;            // the whole text line, CR LF included
inline constexpr size_t kProxyV2Fixed = 16;           // signature, version and command, family, length
inline constexpr size_t kProxyV2Max = kProxyV2Fixed + 65535;
inline constexpr size_t kProxyFirstRead = 12;         // shorter than either version's shortest header
inline constexpr int kProxyHeaderSeconds = 10;        // for the whole header to arrive

enum class ProxyParse {
  kNeedMore,  // consistent so far; `needed` is the total length to have before asking again
  kDone,      // a whole header of `needed` bytes
  kInvalid,   // not a header, or a malformed one
};

struct ProxyHeader {
  // False for a balancer's own connection (v2 LOCAL, v1 UNKNOWN, or an
  // unspecified family): the connection's own peer stands.
  bool has_addresses = false;
  Address source;       // the client
  Address destination;  // where the client connected to
};

// Reads `len` bytes of `data` from the first byte of the connection. On
// kNeedMore and kDone, `needed` is set; on kDone `out` holds the header.
ProxyParse parse_proxy_header(const uint8_t* data, size_t len, size_t& needed, ProxyHeader& out);

}  // namespace ferrynet
