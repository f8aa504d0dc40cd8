#pragma once
#include "ferrynet/relay/relay_types.h"

namespace ferrynet {
// A rewriter that could not set up the transfer; the client has been answered.
inline constexpr int kRewriteFailed = -1;

// Row "PORT ": at "/" gives every site a port of the daemon and bounces to
// the client's; elsewhere passes the command to the current site, or with
// `bouncedata` carries that site's transfer through a port of the daemon.
int port_rewrite(Client& c, char* line, RelayState& st);
// Row "EPRT ": as PORT for an IPv4 address; the sites are sent PORT.
int eprt_rewrite(Client& c, char* line, RelayState& st);
}  // namespace ferrynet
