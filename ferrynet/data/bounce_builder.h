// The one place a data transfer carried by the daemon is set up: passive or
// active, a merged root listing or one site's transfer copied unchanged.
#pragma once

#include <cstdint>

#include "ferrynet/data/data_address.h"
#include "ferrynet/session/handler_types.h"

namespace ferrynet {

struct BouncePlan {
  // Passive: the daemon connects to the sites' ports (`targets`, one per
  // site) and accepts the client once. Active: it connects to the client's
  // port (`targets[0]`) and accepts every site, each on a port of its own.
  bool passive = true;
  // Every site's listing merged into one; else the current site's transfer
  // passed on byte for byte.
  bool merge = true;
  int count = 1;  // sites in the transfer
  int first_site = 0;  // the site of the first of them
  DataTarget targets[kMaxSites];
  const char* listen_address = nullptr;  // where the daemon's ports are opened; none: every address
  // The ports a passive listener may take (both 0: any the system gives).
  uint16_t port_low = 0;
  uint16_t port_high = 0;
  const char* site_listen[kMaxSites] = {};  // active: where site k's port is opened; none: listen_address
};

// Starts the bounce and hands it to its thread. The daemon's ports (one when
// passive, one per site when active) land in `ports`. False once the client
// has been answered that no data connection can be had.
bool start_planned_bounce(Session& s, const BouncePlan& plan, uint16_t* ports);

// The one refusal of a data connection. A passive refusal comes while the
// sites' replies are being handled and leaves them awaited so they are used
// up; an active one comes before any site heard the command, so none is awaited.
void refuse_data_connection(Session& s, bool passive, const char* reply = nullptr);

}  // namespace ferrynet
