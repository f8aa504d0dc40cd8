// TLS towards every site before the client sees a greeting. Each site's
// greeting, AUTH TLS, handshake, PBSZ and PROT run beside the other sites':
// a session starts at the pace of its slowest site, not of all of them.
#pragma once

#include "ferrynet/session/reply_buffer.h"
#include "ferrynet/session/session.h"

namespace ferrynet {

// Leaves each site's greeting in its slice. False when a site refused (the
// first such site in site order has been logged and named to the client):
// the session ends. `reply_limit_s` bounds each reply awaited.
bool secure_sites_together(Client& c, Session& session, ReplyBuffer& rb, int reply_limit_s);

}  // namespace ferrynet
