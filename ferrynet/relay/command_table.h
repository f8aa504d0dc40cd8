// The two dispatch tables: rows of name and handler.
#pragma once

#include "ferrynet/session/handler_types.h"

namespace ferrynet {

extern const ClientCommandRow ClientCommandTable[];
extern const int ClientCommandCount;
extern const ServerReplyRow ServerReplyTable[];
extern const int ServerReplyCount;

}  // namespace ferrynet
