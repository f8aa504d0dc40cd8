// The host-and-port numbers of PASV replies and PORT commands.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ferrynet/data/data_limits.h"

namespace ferrynet {

struct DataTarget {
  int quad[4] = {};
  uint16_t port = 0;
  // An IPv6 host in place of the quad.
  bool ipv6 = false;
  uint8_t ipv6_bytes[16] = {};
};

// A site's "227 text(h1,h2,h3,h4,p1,p2)" reply, read from its first line
// only; false unless it holds six numbers of 0 to 255.
bool parse_pasv_reply(const char* text, size_t len, DataTarget& out);
// A client's "PORT h1,h2,h3,h4,p1,p2" (capital letters); same bounds.
bool parse_port_command(const char* text, size_t len, DataTarget& out);
enum EprtResult : int {
  kEprtRead = 0,        // an IPv4 or IPv6 address and a port from 1 to 65535 in `out`
  kEprtUnreadable = 1,  // not an EPRT argument at all
  kEprtOtherFamily = 2, // well formed up to a network protocol other than 1 and 2
  kEprtBadIpv6 = 3,     // network protocol 2 with no IPv6 literal or no port
};
// A client's "EPRT <d>1<d>a.b.c.d<d>port<d>" or "EPRT <d>2<d>ipv6<d>port<d>"
// (any case, any delimiter from '!' to '~'), read from its first line only;
// blanks or a CR may end it.
EprtResult parse_eprt_command(const char* text, size_t len, DataTarget& out);
// A site's "229 text(<d><d><d>port<d>)" reply, read from its first line only;
// false unless the port is 1 to 65535.
bool parse_epsv_reply(const char* text, size_t len, uint16_t& port);
// "a.b.c.d" into four numbers of 0 to 255.
bool parse_dotted_quad(const char* text, int quad[4]);
// Writes the host of `t` (a dotted quad, or IPv6 text) into a slot of kHostSlot characters.
void format_host(const DataTarget& t, char (&slot)[kHostSlot]);

}  // namespace ferrynet
