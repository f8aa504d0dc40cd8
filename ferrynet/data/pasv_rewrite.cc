#include "ferrynet/data/pasv_rewrite.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "ferrynet/core/config.h"
#include "ferrynet/core/log.h"
#include "ferrynet/data/bounce_builder.h"
#include "ferrynet/data/data_address.h"

namespace ferrynet {

namespace {

// A reply line for the log, without its line end.
int printable_length(const Slice& slice) {
  int len = slice.line_length();
  if (len < 0) len = slice.size();
  while (len > 0 && (slice.data()[len - 1] == '\n' || slice.data()[len - 1] == '\r')) --len;
  return len;
}

// Where the daemon's passive port opens. Behind NAT the announced
// `pasvaddress` is not one of the machine's: the port then opens on the
// address the client's control connection arrived on.
std::string passive_listen_address(const Session& s) {
  const Config& cfg = config();
  const std::optional<Address> local = s.client_local();
  if (cfg.pasvaddress && cfg.pasvaddress_local && (!local || local->is_ipv4())) return *cfg.pasvaddress;
  if (cfg.pasvaddress && local) return local->host();
  return cfg.ip ? *cfg.ip : std::string();
}

// A site's passive port: its 227 names host and port, its 229 (the answer to
// EPSV, which IPv6 sites are asked) the port on the host the daemon reached.
// Security: unless `sitepasvaddress reply`, a 227's host is not followed
// either: whoever writes the reply (the site, or anyone on a plain link)
// could aim the daemon at any host behind it and feed the client its bytes.
bool read_passive_reply(Session& s, int i, const Slice& slice, DataTarget& out) {
  const Address& site = s.site_peer(i);
  const size_t len = static_cast<size_t>(slice.size());
  DataTarget t;
  if (len < 3 || std::memcmp(slice.data(), "229", 3) != 0) {
    if (!parse_pasv_reply(slice.data(), len, t)) return false;
    if (config().sitepasvaddress == kSitePasvReply) {
      out = t;
      return true;
    }
    int quad[4] = {};
    const bool same = site.quad(quad) && std::memcmp(quad, t.quad, sizeof quad) == 0;
    if (!same && !s.state().pasv_address_logged) {
      s.state().pasv_address_logged = true;
      char named[kHostSlot];
      format_host(t, named);
      log_line('e', "site %d's passive reply for %s names %s, not %s: its data connection goes to %s\n", i + 1,
               s.client_ip().c_str(), named, site.host().c_str(), site.host().c_str());
    }
  } else if (!parse_epsv_reply(slice.data(), len, t.port)) {
    return false;
  }
  t.ipv6 = site.ipv6_bytes(t.ipv6_bytes);
  if (!t.ipv6 && !site.quad(t.quad)) return false;
  out = t;
  return true;
}

// Starts a bounce from a port of the daemon to the passive ports the sites
// named: every site's at "/", the current site's alone elsewhere (a plain
// copy). The daemon's port, or 0 once the client has been answered.
uint16_t bounce_passive(Session& s, ReplyBuffer& rb) {
  const Config& cfg = config();
  BouncePlan plan;
  plan.passive = true;
  plan.merge = s.at_root();
  const int first = plan.merge ? 0 : s.current_site();
  plan.count = plan.merge ? s.site_count() : 1;
  plan.first_site = first;
  const std::string listen_at = passive_listen_address(s);
  plan.listen_address = listen_at.empty() ? nullptr : listen_at.c_str();
  plan.port_low = cfg.pasvport_low;
  plan.port_high = cfg.pasvport_high;
  for (int k = 0; k < plan.count; ++k) {
    const int i = first + k;
    const Slice& slice = rb.slice[i];
    if (!read_passive_reply(s, i, slice, plan.targets[k])) {
      std::printf("CURDIR %.*s\n, %i\n", slice.size(), slice.data(), i);
      std::fflush(stdout);
      log_line('p', "PASV reply from server in wrong syntax: %.*s\n", printable_length(slice), slice.data());
      refuse_data_connection(s, true);
      return 0;
    }
  }
  uint16_t port = 0;
  return start_planned_bounce(s, plan, &port) ? port : 0;
}

}  // namespace

ReplyResult pasv_rewrite(Session& s, ReplyBuffer& rb) {
  if (!s.at_root() && !s.carries_all_data()) {
    const Slice& own = rb.slice[s.current_site()];
    int len = own.line_length();
    if (len > 0) s.reply(std::string_view(own.data(), static_cast<size_t>(len)));
    return ReplyResult::kDrop;
  }
  const uint16_t port = bounce_passive(s, rb);
  if (port == 0) return ReplyResult::kFailed;

  // The address the client reached, whatever `ip` names: that one it can
  // reach again; behind NAT the one named for the outside.
  int quad[4];
  const std::optional<Address> local = config().pasvaddress ? Address::parse(*config().pasvaddress, 0)
                                                             : s.client_local();
  if (!local || !local->quad(quad)) {
    log_line('e', "cannot get socket name on data bounce: %s\n", std::strerror(errno));
    // The running bounce ends by itself when its accept wait runs out.
    refuse_data_connection(s, true);
    return ReplyResult::kFailed;
  }
  s.reply_line("227 Entering Passive Mode (%d,%d,%d,%d,%d,%d).\r\n", quad[0], quad[1], quad[2], quad[3], port / 256,
               port % 256);
  return ReplyResult::kDrop;
}

ReplyResult epsv_rewrite(Session& s, ReplyBuffer& rb) {
  // Only the daemon turns an EPSV into PASV; a site that answers an EPSV
  // passed on to it with 227 is heard as it is.
  if (!s.at_root() && !s.carries_all_data()) return ReplyResult::kForward;
  const uint16_t port = bounce_passive(s, rb);
  if (port == 0) return ReplyResult::kFailed;
  s.reply_line("229 Entering Extended Passive Mode (|||%d|)\r\n", static_cast<int>(port));
  return ReplyResult::kDrop;
}

}  // namespace ferrynet
