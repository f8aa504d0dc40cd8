// The relay's buffers and the shapes of its two dispatch tables.
#pragma once

#include "ferrynet/core/limits.h"
#include "ferrynet/relay/client.h"

namespace ferrynet {

// One slice per site, each holding that site's reply text not yet handled as
// NUL-terminated text (at most kSliceSize - 1 bytes), the rest zero.
struct ReplyBuffer {
  int sites = 0;  // N, the sites of this client
  char slice[kMaxSites][kSliceSize] = {};
};

// Client-command handler results.
enum CommandResult : int {
  kCommandForward = 0,  // send the line to the current site as usual
  kCommandHandled = 1,  // the handler dealt with it; forward nothing
};

// Server-reply handler results.
enum ReplyResult : int {
  kReplyForward = 0,   // pass the current line on as usual
  kReplyDrop = 1,      // do not pass the current line; go on with the next
  kReplyAnswered = 2,  // the reply is dealt with; stop handling the buffer now
  kReplyFailed = -1,   // like kReplyDrop, after a failure
};

// `line` is the client's line without its LF (a CR before it stays).
using CommandHandler = int (*)(Client& c, char* line, RelayState& st);
using ReplyHandler = int (*)(Client& c, ReplyBuffer& rb, RelayState& st);

struct ClientCommandRow {
  const char* name;  // ends in a blank: prefix of the line; else the whole last_command
  CommandHandler handler;
};

struct ServerReplyRow {
  int code;
  const char* name;  // ends in a blank: prefix of last_command; else all of it
  ReplyHandler handler;
};

extern const ClientCommandRow ClientCommandTable[];
extern const int ClientCommandCount;
extern const ServerReplyRow ServerReplyTable[];
extern const int ServerReplyCount;

}  // namespace ferrynet
