#pragma once
#include "ferrynet/relay/relay_types.h"

namespace ferrynet {
// Row "PORT ": at "/" gives every site a port of the daemon and bounces to the client's.
int port_rewrite(Client& c, char* line, RelayState& st);
}  // namespace ferrynet
