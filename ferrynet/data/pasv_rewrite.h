#pragma once
#include "ferrynet/relay/relay_types.h"

namespace ferrynet {
// Row 227 after "PASV": at "/" merges the sites' passive ports behind one of
// the daemon's; elsewhere passes the reply on, or with `bouncedata` carries
// the current site's transfer through a port of the daemon.
int pasv_rewrite(Client& c, ReplyBuffer& rb, RelayState& st);
// Row 227 after "EPSV" (asked of the sites as PASV): the same, answered as
// "229 Entering Extended Passive Mode (|||port|)".
int epsv_rewrite(Client& c, ReplyBuffer& rb, RelayState& st);
}  // namespace ferrynet
