// What every site is told before the client sees a greeting: the identity
// line, and with TLS towards the sites AUTH TLS, the handshake, PBSZ and
// PROT. Each site's steps run beside the other sites': a session starts at
// the pace of its slowest site, not of all of them.
#pragma once

#include "ferrynet/session/reply_buffer.h"
#include "ferrynet/session/session.h"

namespace ferrynet {

enum class SiteSetupKind {
  kGreet,   // the greetings behind the identity line, its answers used up
  kSecure,  // the same (identity line when wanted), then TLS
};

// Leaves each site's greeting in its slice. False when a site failed (the
// first such site in site order has been logged and named to the client):
// the session ends. `reply_limit_s` bounds each reply awaited.
bool set_up_sites(Client& c, Session& session, ReplyBuffer& rb, int reply_limit_s, SiteSetupKind kind);

}  // namespace ferrynet
