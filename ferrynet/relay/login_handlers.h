// Reply handlers that keep the relay's picture of the session in step with the sites.
#pragma once

#include "ferrynet/relay/relay_types.h"

namespace ferrynet {

// 230 to "PASS ": asks every site for the id of its session.
int login_step(Client& c, ReplyBuffer& rb, RelayState& st);
// 230 to the login mark: takes the ids out of the replies and records them.
int login_completion(Client& c, ReplyBuffer& rb, RelayState& st);
// 250 to CWD or CDUP: the relay's directory follows the site's.
int directory_confirmed(Client& c, ReplyBuffer& rb, RelayState& st);

// Finds the login reply in `slice`, removes the session-id answer behind it
// and returns the id, or -1 when the answer carried none.
int take_session_id(char* slice);

}  // namespace ferrynet
