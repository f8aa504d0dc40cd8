// What every site is told before the client sees a greeting: the identity
// line, and with TLS towards the sites AUTH TLS, the handshake, PBSZ and
// PROT. Each site's steps run beside the other sites': a session starts at
// the pace of its slowest site, not of all of them.
#pragma once

#include <string>

#include "ferrynet/core/limits.h"
#include "ferrynet/session/reply_buffer.h"
#include "ferrynet/session/session.h"

namespace ferrynet {

enum class SiteSetupKind {
  kGreet,   // the greetings behind the identity line, its answers used up
  kSecure,  // the same (identity line when wanted), then TLS
};

enum class SetupEnd {
  kUnsettled,  // left when an earlier site's failure ended the set-up
  kReady,      // greeted (or turned the client away in its own words)
  kFailed,
};

struct SiteSetupOutcome {
  SetupEnd end[kMaxSites] = {};
  std::string why[kMaxSites];  // of a failed TLS set-up
  int handshake[kMaxSites] = {};  // 1 done, -1 failed, 0 not tried
};

// Leaves each ready site's greeting in its slice. Stops once the first
// failure in site order is known, or with `every_site` once every site has
// settled. `reply_limit_s` bounds each reply awaited. What a failure means
// for the session is the caller's to say.
void set_up_sites(Client& c, Session& session, ReplyBuffer& rb, int reply_limit_s, SiteSetupKind kind,
                  bool every_site, SiteSetupOutcome& out);

}  // namespace ferrynet
