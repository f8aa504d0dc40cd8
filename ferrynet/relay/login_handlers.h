// Reply handlers that keep the relay's picture of the session in step with the sites.
#pragma once

#include "ferrynet/session/handler_types.h"

namespace ferrynet {

// 230 to "PASS ": asks every site for the id of its session.
ReplyResult login_step(Session& s, ReplyBuffer& rb);
// 230 to the login mark: takes the ids out of the replies and records them.
ReplyResult login_completion(Session& s, ReplyBuffer& rb);
// 250 to CWD or CDUP: the relay's directory follows the site's.
ReplyResult directory_confirmed(Session& s, ReplyBuffer& rb);

// Finds the login reply in `slice`, removes the session-id answer behind it
// and returns the id, or -1 when the answer carried none.
int take_session_id(Slice& slice);

}  // namespace ferrynet
