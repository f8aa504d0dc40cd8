// The merges of the sites' who-lists and statistics into one reply.
#pragma once
#include "ferrynet/session/handler_types.h"

namespace ferrynet {
ReplyResult who_merge(Session& s, ReplyBuffer& rb);   // 200 after "SITE WHO"
ReplyResult sswho_merge(Session& s, ReplyBuffer& rb);   // 200 after "SITE SSWHO"
ReplyResult stats_merge(Session& s, ReplyBuffer& rb);   // 200 after the six tops
ReplyResult statinfo_merge(Session& s, ReplyBuffer& rb);  // 200 after "SITE STATINFO "
}  // namespace ferrynet
