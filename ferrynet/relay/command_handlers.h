// Handlers that decide which sites a client command goes to.
#pragma once

#include "ferrynet/relay/relay_types.h"

namespace ferrynet {

// Every site gets the line and every site's answer is awaited.
int broadcast(Client& c, char* line, RelayState& st);
// The sites are asked for their machine-readable who-lists instead.
int who_broadcast(Client& c, char* line, RelayState& st);
int sswho_broadcast(Client& c, char* line, RelayState& st);
// At "/" as broadcast; elsewhere the current site alone.
int root_broadcast(Client& c, char* line, RelayState& st);
// NLST and MLSD: as root_broadcast, telling the root bounce what it carries.
int listing_broadcast(Client& c, char* line, RelayState& st);
// EPSV at "/" (and with `bouncedata` elsewhere): the sites are asked with
// PASV and the 227 replies answered as 229; other protocols are refused.
int epsv_command(Client& c, char* line, RelayState& st);

}  // namespace ferrynet
