#include "ferrynet/relay/command_handlers.h"

#include <strings.h>

#include "ferrynet/core/config.h"
#include "ferrynet/session/listing_kind.h"

namespace ferrynet {

CommandResult send_to_every_site(Session& s, std::string_view line) {
  // The line still carries the client's CR, so each site gets it byte for byte.
  for (int i = 0; i < s.site_count(); ++i) s.relay_line(i, line);
  s.await_every_site();
  return CommandResult::kHandled;
}

CommandResult broadcast(Session& s, std::string_view line) { return send_to_every_site(s, line); }

CommandResult account_broadcast(Session& s, std::string_view line) {
  // Applied on some sites only, the sites' user lists would drift apart.
  if (const int missing = s.first_missing_site(); missing >= 0) {
    s.reply_line("450 Site %d is down, account changes wait until every site is back.\r\n", missing + 1);
    s.await_no_site();
    return CommandResult::kHandled;
  }
  return send_to_every_site(s, line);
}

CommandResult who_broadcast(Session& s, std::string_view) { return send_to_every_site(s, "SITE MWHO\r"); }

CommandResult sswho_broadcast(Session& s, std::string_view) { return send_to_every_site(s, "SITE MSWHO\r"); }

CommandResult root_broadcast(Session& s, std::string_view line) {
  if (!s.at_root()) return CommandResult::kForward;
  return send_to_every_site(s, line);
}

CommandResult listing_broadcast(Session& s, std::string_view line) {
  if (!s.at_root()) return CommandResult::kForward;
  // Set before any site hears the command, so before any listing byte
  // reaches the bounce that was started for it.
  if (RelayState& st = s.state(); st.transfer) {
    const bool nlst = line.size() >= 4 && strncasecmp(line.data(), "NLST", 4) == 0;
    const bool mlsd = line.size() >= 4 && strncasecmp(line.data(), "MLSD", 4) == 0;
    st.transfer->decide_listing(nlst ? kListingNames : mlsd ? kListingFacts : kListingLong);
  }
  return send_to_every_site(s, line);
}

namespace {

// What an IPv6 client must use instead of what names IPv4 addresses only.
constexpr const char kPasvIpv6[] = "502 PASV cannot name an IPv6 address, use EPSV.\r\n";

// Asks `site` for a passive port the daemon can reach: a 227 from an IPv4
// site, a 229 on the address the daemon already reaches from an IPv6 one.
void ask_passive(Session& s, int site, bool crlf) {
  if (s.site_peer(site).is_ipv6())
    s.send_site(site, crlf ? "EPSV\r\n" : "EPSV\n");
  else
    s.send_site(site, crlf ? "PASV\r\n" : "PASV\n");
}

// The daemon carries the transfer: every site is asked at "/", the current one elsewhere.
CommandResult ask_passive_ports(Session& s, bool crlf) {
  if (s.at_root()) {
    for (int i = 0; i < s.site_count(); ++i) ask_passive(s, i, crlf);
    s.await_every_site();
  } else {
    ask_passive(s, s.current_site(), crlf);
    s.await_current_site();
  }
  return CommandResult::kHandled;
}

bool any_ipv6_site(const Session& s) {
  for (int i = 0; i < s.site_count(); ++i)
    if (s.site_peer(i).is_ipv6()) return true;
  return false;
}

}  // namespace

CommandResult pasv_command(Session& s, std::string_view line) {
  const bool root = s.at_root();
  if (!root && !s.carries_all_data()) return CommandResult::kForward;
  if (s.client_peer().is_ipv6()) {
    s.reply(kPasvIpv6);
    s.await_no_site();
    return CommandResult::kHandled;
  }
  if (root && !any_ipv6_site(s)) return send_to_every_site(s, line);
  if (!root && !s.site_peer(s.current_site()).is_ipv6()) return CommandResult::kForward;
  return ask_passive_ports(s, !line.empty() && line.back() == '\r');
}

CommandResult epsv_command(Session& s, std::string_view line) {
  const bool root = s.at_root();
  if (!root && !s.carries_all_data()) return CommandResult::kForward;
  const bool crlf = !line.empty() && line.back() == '\r';
  const size_t len = line.size();
  size_t arg = 4;
  while (arg < len && line[arg] == ' ') ++arg;
  const size_t arg_end = crlf ? len - 1 : len;
  // The daemon's port is on the address the client reached, of the client's family.
  const bool six = s.client_peer().is_ipv6();
  if (arg < arg_end && !(arg_end - arg == 1 && line[arg] == (six ? '2' : '1'))) {
    s.reply(six ? "522 Network protocol not supported, use (2)\r\n"
                : "522 Network protocol not supported, use (1)\r\n");
    s.await_no_site();
    return CommandResult::kHandled;
  }
  return ask_passive_ports(s, crlf);
}

}  // namespace ferrynet
