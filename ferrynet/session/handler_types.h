// The shapes of the relay's two dispatch tables and their handlers' results.
#pragma once

#include <string_view>

#include "ferrynet/session/reply_buffer.h"
#include "ferrynet/session/session.h"

namespace ferrynet {

enum class CommandResult {
  kForward,  // send the line to the current site as usual
  kHandled,  // the handler dealt with it; forward nothing
};

enum class ReplyResult {
  kForward,   // pass the current line on as usual
  kDrop,      // do not pass the current line; go on with the next
  kAnswered,  // the whole reply is dealt with and the client answered
  kAskedMore, // the sites were sent a further command; their text so far is not the whole reply
  kFailed,    // like kDrop, after a failure the client has been told of
};

// `line` is the client's line without its LF (a CR before it stays).
using CommandHandler = CommandResult (*)(Session& s, std::string_view line);
using ReplyHandler = ReplyResult (*)(Session& s, ReplyBuffer& rb);

struct ClientCommandRow {
  const char* name;  // ends in a blank: prefix of the line; else the whole last_command
  CommandHandler handler;
};

struct ServerReplyRow {
  int code;
  const char* name;  // ends in a blank: prefix of last_command; else all of it
  ReplyHandler handler;
  // The handler reads every site's whole reply at once, so the reply must
  // fit a slice; other replies may pass on line by line however long.
  bool whole = false;
};

}  // namespace ferrynet
