#include "ferrynet/data/port_rewrite.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "ferrynet/core/config.h"
#include "ferrynet/core/log.h"
#include "ferrynet/core/net.h"
#include "ferrynet/data/data_address.h"
#include "ferrynet/data/data_bounce.h"
#include "ferrynet/relay/client_thread.h"

namespace ferrynet {

namespace {

constexpr const char kNoDataConnection[] = "425 Cannot open a data connection.\r";
constexpr const char kPortUnreadable[] = "501 Syntax error in PORT command.\r";
constexpr const char kPortRefused[] = "504 PORT must name your own address and a port from 1024 up.\r";

// Nothing went to the sites, so no site reply may be awaited for this command.
int refuse(Client& c, RelayState& st, const char* reply) {
  send_line(c.client_fd.get(), "%s\n", reply);
  for (int i = 0; i < config().sitecount; ++i) st.no_reply[i] = 1;
  return kRewriteFailed;
}

// The command for the log, without the CR it came with.
int printable_length(const char* line) {
  int len = static_cast<int>(std::strlen(line));
  while (len > 0 && line[len - 1] == '\r') --len;
  return len;
}

}  // namespace

int port_rewrite(Client& c, char* line, RelayState& st) {
  const int n = config().sitecount;
  if (std::strcmp(st.cwd, "/") != 0) {
    send_line(c.site_fd[st.current_site].get(), "%s\n", line);
    for (int i = 0; i < n; ++i) st.no_reply[i] = 1;
    st.no_reply[st.current_site] = 0;
    return kCommandHandled;
  }

  // The sites must be able to reach what they are told: the address the
  // daemon already uses toward them, as a dotted quad.
  std::optional<std::string> side = choose_bind_address(c);
  std::string address = side ? dotted_quad(resolve_host(side->c_str())) : std::string();
  int quad[4];
  if (!side || resolve_host(side->c_str()) == 0 || !parse_dotted_quad(address.c_str(), quad)) {
    log_line('e', "failed to bind to %s for data transfer\n", side ? side->c_str() : "(no address)");
    return refuse(c, st, kNoDataConnection);
  }

  std::unique_ptr<Listener> listeners[kMaxSites];
  for (int i = 0; i < n; ++i) {
    listeners[i] = create_listener(address.c_str(), 0);
    if (!listeners[i]) {
      log_line('e', "failed to bind to %s for data transfer\n", address.c_str());
      return refuse(c, st, kNoDataConnection);
    }
  }

  std::unique_ptr<DataBounce> bounce(new (std::nothrow) DataBounce());
  if (!bounce) return refuse(c, st, kNoDataConnection);
  bounce->owner = &st;
  bounce->connect_to_sites = 0;
  bounce->sites = n;
  bounce->timeout_s = kDataWaitSeconds;

  DataTarget target;
  if (!parse_port_command(line, std::strlen(line), target)) {
    log_line('t', "client supplied PORT command in invalid format: %.*s\n", printable_length(line), line);
    return refuse(c, st, kPortUnreadable);
  }
  // Security: the daemon connects out to what a PORT at the root names. Only
  // the client's own address and an unprivileged port keep it from being
  // used to reach other hosts or services in the client's place.
  char named[kHostSlot];
  format_host(target, named);
  if (std::strcmp(named, c.client_ip.c_str()) != 0 || target.port < kLowestDataPort) {
    log_line('t', "client supplied PORT command in invalid format: %.*s\n", printable_length(line), line);
    return refuse(c, st, kPortRefused);
  }
  std::memcpy(bounce->hosts[0], named, sizeof named);
  bounce->ports[0] = target.port;
  bounce->target_count = 1;
  std::snprintf(bounce->client_host, sizeof bounce->client_host, "%s", c.client_ip.c_str());
  bounce->client_port = ntohs(c.client_addr.sin_port);

  uint16_t ports[kMaxSites] = {};
  for (int i = 0; i < n; ++i) {
    ports[i] = listeners[i]->port;
    bounce->listen_sockets[i] = std::move(listeners[i]->fd);
    bounce->listen_ports[i] = ports[i];
  }
  bounce->listen_count = n;

  if (int err = start_bounce(std::move(bounce))) {
    log_line('e', "cannot create data bouncer thread (%s)\n", std::strerror(err));
    return refuse(c, st, kNoDataConnection);
  }

  // The sites hear of the daemon's ports only now that someone accepts on
  // them. The line ends as the client's did: some servers split commands
  // only at CR LF.
  const size_t len = std::strlen(line);
  const bool crlf = len > 0 && line[len - 1] == '\r';
  for (int j = 0; j < n; ++j)
    send_line(c.site_fd[j].get(), crlf ? "PORT %d,%d,%d,%d,%d,%d\r\n" : "PORT %d,%d,%d,%d,%d,%d\n", quad[0],
              quad[1], quad[2], quad[3], ports[j] / 256, ports[j] % 256);
  return kCommandHandled;
}

}  // namespace ferrynet
