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
constexpr const char kEprtSyntax[] = "501 Syntax error in EPRT command.\r";
constexpr const char kEprtRefused[] = "504 EPRT must name your own address and a port from 1024 up.\r";
constexpr const char kEprtFamily[] = "522 Network protocol not supported, use (1)\r";

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

bool at_root(const RelayState& st) { return std::strcmp(st.cwd, "/") == 0; }

// Only the current site hears the command and is awaited.
int to_current_site(Client& c, const char* line, RelayState& st) {
  send_line(c.site_fd[st.current_site].get(), "%s\n", line);
  for (int i = 0; i < config().sitecount; ++i) st.no_reply[i] = 1;
  st.no_reply[st.current_site] = 0;
  return kCommandHandled;
}

// Security: the daemon connects out to what the client names. Only the
// client's own address and an unprivileged port keep it from being used to
// reach other hosts or services in the client's place.
bool acceptable_target(const Client& c, const DataTarget& target) {
  char named[kHostSlot];
  format_host(target, named);
  return std::strcmp(named, c.client_ip.c_str()) == 0 && target.port >= kLowestDataPort;
}

// Gives the sites (every one at "/", the current one elsewhere, as a plain
// copy) ports of the daemon and bounces them to the client's `target`.
int bounce_active(Client& c, const char* line, RelayState& st, const DataTarget& target) {
  const bool merge = at_root(st);
  const int n = merge ? config().sitecount : 1;
  const int first = merge ? 0 : st.current_site;

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
  if (!bounce || !share_listing_kind(*bounce, st)) return refuse(c, st, kNoDataConnection);
  bounce->owner = &st;
  bounce->connect_to_sites = 0;
  bounce->byte_copy = !merge;
  bounce->sites = n;
  bounce->timeout_s = kDataWaitSeconds;
  format_host(target, bounce->hosts[0]);
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
  for (int i = 0; i < n; ++i)
    send_line(c.site_fd[first + i].get(), crlf ? "PORT %d,%d,%d,%d,%d,%d\r\n" : "PORT %d,%d,%d,%d,%d,%d\n", quad[0],
              quad[1], quad[2], quad[3], ports[i] / 256, ports[i] % 256);
  if (!merge) {
    for (int i = 0; i < config().sitecount; ++i) st.no_reply[i] = 1;
    st.no_reply[st.current_site] = 0;
  }
  return kCommandHandled;
}

}  // namespace

int port_rewrite(Client& c, char* line, RelayState& st) {
  if (!at_root(st) && !config().bouncedata) return to_current_site(c, line, st);

  DataTarget target;
  if (!parse_port_command(line, std::strlen(line), target)) {
    log_line('t', "client supplied PORT command in invalid format: %.*s\n", printable_length(line), line);
    return refuse(c, st, kPortUnreadable);
  }
  if (!acceptable_target(c, target)) {
    log_line('t', "client supplied PORT command in invalid format: %.*s\n", printable_length(line), line);
    return refuse(c, st, kPortRefused);
  }
  return bounce_active(c, line, st, target);
}

int eprt_rewrite(Client& c, char* line, RelayState& st) {
  if (!at_root(st) && !config().bouncedata) return to_current_site(c, line, st);

  DataTarget target;
  EprtResult read = parse_eprt_command(line, std::strlen(line), target);
  if (read != kEprtRead) {
    log_line('t', "client supplied EPRT command in invalid format: %.*s\n", printable_length(line), line);
    return refuse(c, st, read == kEprtOtherFamily ? kEprtFamily : kEprtSyntax);
  }
  if (!acceptable_target(c, target)) {
    log_line('t', "client supplied EPRT command in invalid format: %.*s\n", printable_length(line), line);
    return refuse(c, st, kEprtRefused);
  }
  // The sites are told with PORT: every site knows it, and the daemon's
  // site-side address is IPv4 anyway.
  return bounce_active(c, line, st, target);
}

}  // namespace ferrynet
