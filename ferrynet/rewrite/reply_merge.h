// The merges of the sites' who-lists and statistics into one reply.
#pragma once
#include "ferrynet/relay/relay_types.h"

namespace ferrynet {
int who_merge(Client& c, ReplyBuffer& rb, RelayState& st);       // 200 after "SITE WHO"
int sswho_merge(Client& c, ReplyBuffer& rb, RelayState& st);     // 200 after "SITE SSWHO"
int stats_merge(Client& c, ReplyBuffer& rb, RelayState& st);     // 200 after the six tops
int statinfo_merge(Client& c, ReplyBuffer& rb, RelayState& st);  // 200 after "SITE STATINFO "
}  // namespace ferrynet
