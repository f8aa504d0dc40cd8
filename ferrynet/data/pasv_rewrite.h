#pragma once
#include "ferrynet/relay/relay_types.h"

namespace ferrynet {
// Row 227 after "PASV": at "/" merges the sites' passive ports behind one of the daemon's.
int pasv_rewrite(Client& c, ReplyBuffer& rb, RelayState& st);
}  // namespace ferrynet
