// Replies to commands the daemon sends a site of its own accord (a NOOP that
// keeps an idle connection open, the ABOR and NOOP that end a transfer the
// daemon gave up): used up before the site's text is read as anything else.
#pragma once

#include "ferrynet/session/reply_buffer.h"

namespace ferrynet {

enum class Owed {
  kNone,
  kOneReply,     // a keep-alive NOOP's answer
  kThroughNoop,  // whatever an aborted transfer still says, up to the answer of the NOOP sent behind the ABOR
};

// Drops what is owed from the front of `slice`; returns what is still owed
// once the slice has nothing more of it.
Owed use_up_owed(Slice& slice, Owed owed);

}  // namespace ferrynet
