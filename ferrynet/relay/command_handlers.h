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

}  // namespace ferrynet
