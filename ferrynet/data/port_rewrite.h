#pragma once
#include "ferrynet/session/handler_types.h"

namespace ferrynet {
// Row "PORT ": at "/" gives every site a port of the daemon and bounces to
// the client's; elsewhere passes the command to the current site, or with
// `bouncedata` carries that site's transfer through a port of the daemon.
CommandResult port_rewrite(Session& s, std::string_view line);
// Row "EPRT ": as PORT for an IPv4 address; the sites are sent PORT.
CommandResult eprt_rewrite(Session& s, std::string_view line);
}  // namespace ferrynet
