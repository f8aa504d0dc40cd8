#include "ferrynet/relay/command_handlers.h"

#include <strings.h>

#include <cstring>

#include "ferrynet/core/config.h"
#include "ferrynet/core/net.h"
#include "ferrynet/data/listing_kind.h"

namespace ferrynet {

namespace {

int send_to_all(Client& c, const char* text, RelayState& st) {
  const int n = config().sitecount;
  for (int i = 0; i < n; ++i) {
    // The line still carries the client's CR, so each site gets it byte for byte.
    send_line(c.site_fd[i].get(), "%s\n", text);
    st.no_reply[i] = 0;
  }
  return kCommandHandled;
}

}  // namespace

int broadcast(Client& c, char* line, RelayState& st) { return send_to_all(c, line, st); }

int who_broadcast(Client& c, char*, RelayState& st) { return send_to_all(c, "SITE MWHO", st); }

int sswho_broadcast(Client& c, char*, RelayState& st) { return send_to_all(c, "SITE MSWHO", st); }

int root_broadcast(Client& c, char* line, RelayState& st) {
  if (std::strcmp(st.cwd, "/") != 0) return kCommandForward;
  return send_to_all(c, line, st);
}

}  // namespace ferrynet

namespace ferrynet {

int listing_broadcast(Client& c, char* line, RelayState& st) {
  if (std::strcmp(st.cwd, "/") != 0) return kCommandForward;
  // Set before any site hears the command, so before any listing byte
  // reaches the bounce that was started for it.
  if (st.listing_kind) {
    const int kind = strncasecmp(line, "NLST", 4) == 0   ? kListingNames
                     : strncasecmp(line, "MLSD", 4) == 0 ? kListingFacts
                                                         : kListingLong;
    st.listing_kind->store(kind, std::memory_order_release);
  }
  return send_to_all(c, line, st);
}

int epsv_command(Client& c, char* line, RelayState& st) {
  const bool root = std::strcmp(st.cwd, "/") == 0;
  if (!root && !config().bouncedata) return kCommandForward;
  const size_t len = std::strlen(line);
  const bool crlf = len > 0 && line[len - 1] == '\r';
  size_t arg = 4;
  while (arg < len && line[arg] == ' ') ++arg;
  const size_t arg_end = crlf ? len - 1 : len;
  // Only IPv4 can be carried: the sites are asked with PASV.
  if (arg < arg_end && !(arg_end - arg == 1 && line[arg] == '1')) {
    send_line(c.client_fd.get(), "522 Network protocol not supported, use (1)\r\n");
    for (int i = 0; i < config().sitecount; ++i) st.no_reply[i] = 1;
    return kCommandHandled;
  }
  if (root) return send_to_all(c, crlf ? "PASV\r" : "PASV", st);
  send_line(c.site_fd[st.current_site].get(), crlf ? "PASV\r\n" : "PASV\n");
  for (int i = 0; i < config().sitecount; ++i) st.no_reply[i] = 1;
  st.no_reply[st.current_site] = 0;
  return kCommandHandled;
}

}  // namespace ferrynet
