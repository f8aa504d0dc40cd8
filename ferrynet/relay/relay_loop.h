// The control dialogue between one client and its sites.
#pragma once

#include "ferrynet/relay/relay_types.h"

namespace ferrynet {

// Runs until the client or a site closes; called without the client's lock.
void relay_loop(Client& c);

// One read into a NUL-terminated text buffer: -2 when full, -1 on error,
// 0 at end of file, else the new text length.
int append_read(int fd, char* buffer, int size);

// True when the slice's text ends in the final line of a reply.
bool slice_ends_in_complete_reply(const char* slice);

// Matching of the two tables, for the loop and for tests.
const ClientCommandRow* match_command(const char* line, const char* last_command);
const ServerReplyRow* match_reply(int code, const char* last_command);

}  // namespace ferrynet
