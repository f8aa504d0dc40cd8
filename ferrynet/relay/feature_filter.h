// Keeps clients from choosing what the relay cannot carry.
#pragma once

#include "ferrynet/session/handler_types.h"

namespace ferrynet {

// "FEAT" at "/" asks every site, to learn what all of them offer; the
// client still gets the current site's reply.
CommandResult feature_command(Session& s, std::string_view line);
// 211 to "FEAT": the current site's list without the security features the
// relay cannot pass on, and at "/" without the machine listings unless every
// site offers them.
ReplyResult feature_filter(Session& s, ReplyBuffer& rb);
// "AUTH ": a protected control connection could not be read by the relay.
CommandResult refuse_security(Session& s, std::string_view line);
// "EPSV ALL": the daemon could no longer carry active transfers at "/".
CommandResult refuse_epsv_all(Session& s, std::string_view line);

// Removes from `slice` the lines of its first reply (after the first line,
// before the final one) that advertise a hidden feature; for tests.
void filter_feature_lines(Slice& slice, bool hide_machine_listings);
// The first reply in `slice` is a feature list with an MLST line.
bool offers_machine_listings(const Slice& slice);
// Adds the protection features the daemon answers itself before the reply's final line.
void offer_tls_features(Slice& slice);

}  // namespace ferrynet
