#include "ferrynet/relay/command_handlers.h"

#include <cstring>

#include "ferrynet/core/config.h"
#include "ferrynet/core/net.h"

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
