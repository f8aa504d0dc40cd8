// The control dialogue between one client and its sites.
#pragma once

#include <string_view>

#include "ferrynet/session/handler_types.h"

namespace ferrynet {

// Runs until the client or a site closes; called without the client's lock.
// True when the client has been told why its session ended.
bool relay_loop(Client& c);

// Matching of the two tables, for the loop and for tests. A client line is
// matched by its own text, without its line end.
const ClientCommandRow* match_command(std::string_view line);
const ServerReplyRow* match_reply(int code, const char* last_command);

}  // namespace ferrynet
