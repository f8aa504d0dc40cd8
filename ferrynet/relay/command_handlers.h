// Handlers that decide which sites a client command goes to.
#pragma once

#include "ferrynet/session/handler_types.h"

namespace ferrynet {

// Every site gets the line and every site's answer is awaited.
CommandResult broadcast(Session& s, std::string_view line);
// The account commands: as broadcast, but refused while the session lacks
// any configured site.
CommandResult account_broadcast(Session& s, std::string_view line);
// The sites are asked for their machine-readable who-lists instead.
CommandResult who_broadcast(Session& s, std::string_view line);
CommandResult sswho_broadcast(Session& s, std::string_view line);
// At "/" as broadcast; elsewhere the current site alone.
CommandResult root_broadcast(Session& s, std::string_view line);
// NLST and MLSD: as root_broadcast, telling the root bounce what it carries.
CommandResult listing_broadcast(Session& s, std::string_view line);
// PASV: as root_broadcast, but where the daemon carries the transfer IPv6
// sites are asked with EPSV, and an IPv6 client is refused.
CommandResult pasv_command(Session& s, std::string_view line);
// EPSV at "/" (and with `bouncedata` elsewhere): the sites are asked with
// PASV (EPSV if IPv6) and the replies answered as 229; protocols other
// than the client's own are refused.
CommandResult epsv_command(Session& s, std::string_view line);

// Sends `line` to every site and awaits every answer.
CommandResult send_to_every_site(Session& s, std::string_view line);

}  // namespace ferrynet
