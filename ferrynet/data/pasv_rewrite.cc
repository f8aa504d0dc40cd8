#include "ferrynet/data/pasv_rewrite.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "ferrynet/core/config.h"
#include "ferrynet/core/log.h"
#include "ferrynet/core/net.h"
#include "ferrynet/data/data_address.h"
#include "ferrynet/data/data_bounce.h"
#include "ferrynet/relay/slice.h"

namespace ferrynet {

namespace {

// The client asked and must hear something, or it waits for ever.
constexpr const char kNoDataConnection[] = "425 Cannot open a data connection.\r";

int refuse(Client& c) {
  send_line(c.client_fd.get(), "%s\n", kNoDataConnection);
  return kReplyFailed;
}

// A reply line for the log, without its line end.
int printable_length(const char* slice) {
  int len = slice_line_length(slice);
  if (len < 0) len = slice_text_length(slice);
  while (len > 0 && (slice[len - 1] == '\n' || slice[len - 1] == '\r')) --len;
  return len;
}

bool at_root(const RelayState& st) { return std::strcmp(st.cwd, "/") == 0; }

// Starts a bounce from a port of the daemon to the passive ports the sites
// named: every site's at "/", the current site's alone elsewhere (a plain
// copy). The daemon's port, or 0 once the client has been answered.
uint16_t bounce_passive(Client& c, ReplyBuffer& rb, RelayState& st) {
  const Config& cfg = config();
  const bool merge = at_root(st);
  const char* ip = cfg.ip && !cfg.ip->empty() ? cfg.ip->c_str() : nullptr;
  std::unique_ptr<Listener> listener = create_listener(ip, 0);
  if (!listener) {
    log_line('e', "failed to bind to %s for data transfer\n", ip ? ip : "*");
    refuse(c);
    return 0;
  }

  std::unique_ptr<DataBounce> bounce(new (std::nothrow) DataBounce());
  if (!bounce || !share_listing_kind(*bounce, st)) {
    refuse(c);
    return 0;
  }
  const int first = merge ? 0 : st.current_site;
  const int count = merge ? cfg.sitecount : 1;
  bounce->owner = &st;
  bounce->connect_to_sites = 1;
  bounce->byte_copy = !merge;
  bounce->sites = count;
  bounce->target_count = count;
  bounce->timeout_s = kDataWaitSeconds;
  std::snprintf(bounce->client_host, sizeof bounce->client_host, "%s", c.client_ip.c_str());
  bounce->client_port = ntohs(c.client_addr.sin_port);
  for (int k = 0; k < count; ++k) {
    const int i = first + k;
    DataTarget t;
    const char* slice = rb.slice[i];
    if (!parse_pasv_reply(slice, kSliceSize, t)) {
      std::printf("CURDIR %s\n, %i\n", slice, i);
      std::fflush(stdout);
      log_line('p', "PASV reply from server in wrong syntax: %.*s\n", printable_length(slice), slice);
      refuse(c);  // the record and the listener go with this frame
      return 0;
    }
    format_host(t, bounce->hosts[k]);
    bounce->ports[k] = t.port;
  }
  const uint16_t port = listener->port;
  bounce->listen_sockets[0] = std::move(listener->fd);
  bounce->listen_ports[0] = port;
  bounce->listen_count = 1;

  if (int err = start_bounce(std::move(bounce))) {
    log_line('e', "cannot create data bouncer thread (%s)\n", std::strerror(err));
    refuse(c);
    return 0;
  }
  return port;
}

}  // namespace

int pasv_rewrite(Client& c, ReplyBuffer& rb, RelayState& st) {
  if (!at_root(st) && !config().bouncedata) {
    const char* own = rb.slice[st.current_site];
    int len = slice_line_length(own);
    if (len > 0) send_all(c.client_fd.get(), own, static_cast<size_t>(len));
    return kReplyDrop;
  }
  const uint16_t port = bounce_passive(c, rb, st);
  if (port == 0) return kReplyFailed;

  // The address the client reached, whatever `ip` names: that one it can reach again.
  sockaddr_in local{};
  socklen_t len = sizeof local;
  int quad[4];
  if (getsockname(c.client_fd.get(), reinterpret_cast<sockaddr*>(&local), &len) != 0) {
    log_line('e', "cannot get socket name on data bounce: %s\n", std::strerror(errno));
    return refuse(c);  // the running bounce ends by itself when its accept wait runs out
  }
  if (!parse_dotted_quad(dotted_quad(local.sin_addr.s_addr).c_str(), quad)) return refuse(c);
  send_line(c.client_fd.get(), "227 Entering Passive Mode (%d,%d,%d,%d,%d,%d).\n", quad[0], quad[1], quad[2],
            quad[3], port / 256, port % 256);
  return kReplyDrop;
}

int epsv_rewrite(Client& c, ReplyBuffer& rb, RelayState& st) {
  // Only the daemon turns an EPSV into PASV; a site that answers an EPSV
  // passed on to it with 227 is heard as it is.
  if (!at_root(st) && !config().bouncedata) return kReplyForward;
  const uint16_t port = bounce_passive(c, rb, st);
  if (port == 0) return kReplyFailed;
  send_line(c.client_fd.get(), "229 Entering Extended Passive Mode (|||%d|)\r\n", static_cast<int>(port));
  return kReplyDrop;
}

}  // namespace ferrynet
