// One data transfer carried by the daemon, with a bouncer thread of its own:
// a merged listing at the root, or (with `bouncedata`) a plain copy elsewhere.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "ferrynet/core/limits.h"
#include "ferrynet/core/net.h"
#include "ferrynet/data/data_limits.h"
#include "ferrynet/session/client.h"

namespace ferrynet {

struct DataBounce {
  int timeout_s = kDataWaitSeconds;  // each connect and each accept
  // 1: connect to every site's passive port, accept the client once.
  // 0: connect to the client's port, accept every site in site order.
  int connect_to_sites = 0;
  int sites = 0;  // N; one pump per site
  std::unique_ptr<Listener> listeners[kMaxSites];
  uint16_t listen_ports[kMaxSites] = {};
  int listen_count = 0;
  const RelayState* owner = nullptr;  // who asked; the thread never touches it
  char hosts[kMaxSites][kHostSlot] = {};
  uint16_t ports[kMaxSites] = {};
  int target_count = 0;
  // The client's control peer, named when a connect fails.
  char client_host[kHostSlot] = {};
  int client_port = 0;
  // A single site's transfer passed on byte for byte, without the merge.
  bool byte_copy = false;
  // The ListingKind, set by the relay when the listing command arrives.
  std::shared_ptr<std::atomic<int>> listing_kind;
};

// A fresh kind (a long listing until told otherwise) for a new bounce, also
// handed to the relay state so the listing command can set it; false when
// none could be had.
bool share_listing_kind(DataBounce& b, RelayState& st);

// Starts the detached bouncer thread and returns once it runs. The record
// and every socket in it then belong to that thread, which closes them after
// the last leg. 0, or the error number of the failed start, in which case
// the record has been released (its listening sockets closed) here.
int start_bounce(std::unique_ptr<DataBounce> bounce);

// The thread's work, run on the calling thread: for tests.
void run_bounce(DataBounce& b);

}  // namespace ferrynet
