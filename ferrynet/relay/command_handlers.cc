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

CommandResult epsv_command(Session& s, std::string_view line) {
  const bool root = s.at_root();
  if (!root && !s.carries_all_data()) return CommandResult::kForward;
  const bool crlf = !line.empty() && line.back() == '\r';
  const size_t len = line.size();
  size_t arg = 4;
  while (arg < len && line[arg] == ' ') ++arg;
  const size_t arg_end = crlf ? len - 1 : len;
  // Only IPv4 can be carried: the sites are asked with PASV.
  if (arg < arg_end && !(arg_end - arg == 1 && line[arg] == '1')) {
    s.reply("522 Network protocol not supported, use (1)\r\n");
    s.await_no_site();
    return CommandResult::kHandled;
  }
  if (root) return send_to_every_site(s, crlf ? "PASV\r" : "PASV");
  s.send_site(s.current_site(), crlf ? "PASV\r\n" : "PASV\n");
  s.await_current_site();
  return CommandResult::kHandled;
}

}  // namespace ferrynet
