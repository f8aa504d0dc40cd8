#pragma once
#include "ferrynet/session/handler_types.h"

namespace ferrynet {
// Row 227 after "PASV": at "/" merges the sites' passive ports behind one of
// the daemon's; elsewhere passes the reply on, or with `bouncedata` carries
// the current site's transfer through a port of the daemon.
ReplyResult pasv_rewrite(Session& s, ReplyBuffer& rb);
// Row 227 after "EPSV" (asked of the sites as PASV): the same, answered as
// "229 Entering Extended Passive Mode (|||port|)".
ReplyResult epsv_rewrite(Session& s, ReplyBuffer& rb);
}  // namespace ferrynet
