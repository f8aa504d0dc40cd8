// Keeps clients from choosing what the relay cannot carry.
#pragma once

#include "ferrynet/relay/relay_types.h"

namespace ferrynet {

// 211 to "FEAT": the current site's list without the security features the
// relay cannot pass on, and at "/" without the machine listings.
int feature_filter(Client& c, ReplyBuffer& rb, RelayState& st);
// "AUTH ": a protected control connection could not be read by the relay.
int refuse_security(Client& c, char* line, RelayState& st);
// "EPSV ALL": the daemon could no longer carry active transfers at "/".
int refuse_epsv_all(Client& c, char* line, RelayState& st);

// Removes from `slice` the lines of its first reply (after the first line,
// before the final one) that advertise a hidden feature; for tests.
void filter_feature_lines(char* slice, bool at_root);

}  // namespace ferrynet
