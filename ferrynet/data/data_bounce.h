// One data transfer carried by the daemon, with a bouncer thread of its own:
// a merged listing at the root, one site's transfer passed on byte for byte
// (a file at the root, or anything outside it with `bouncedata`).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "ferrynet/core/address.h"
#include "ferrynet/core/limits.h"
#include "ferrynet/core/metrics.h"
#include "ferrynet/core/net.h"
#include "ferrynet/core/tls.h"
#include "ferrynet/data/data_limits.h"
#include "ferrynet/session/transfer_plan.h"

namespace ferrynet {

struct DataBounce {
  int timeout_s = kDataWaitSeconds;  // each connect and each accept
  // 1: connect to every site's passive port, accept the client once.
  // 0: connect to the client's port, accept every site in site order.
  int connect_to_sites = 0;
  int sites = 0;  // N; one leg per site
  int first_site = 0;  // the site of leg 0
  std::unique_ptr<Listener> listeners[kMaxSites];
  uint16_t listen_ports[kMaxSites] = {};
  int listen_count = 0;
  char hosts[kMaxSites][kHostSlot] = {};
  uint16_t ports[kMaxSites] = {};
  int target_count = 0;
  // The client's control peer, named when a connect fails.
  char client_host[kHostSlot] = {};
  int client_port = 0;
  // Security: who may connect to the daemon's ports. A passive port takes
  // only the client's address, an active one only its site's; none: anyone.
  std::optional<Address> client_peer;
  std::optional<Address> site_peers[kMaxSites];
  // A single site's transfer from the start, without the merge.
  bool byte_copy = false;
  // TLS on the client's leg (the daemon as server) and on the sites' legs
  // (as client, resuming each site's control session); none: plain.
  std::shared_ptr<const TlsContext> client_tls;
  std::shared_ptr<const TlsContext> site_tls;
  std::shared_ptr<TlsSessionStore> site_stores[kMaxSites];
  std::string site_names[kMaxSites];  // what each site's certificate must hold
  // What the transfer turns out to be; none: a listing from the start.
  std::shared_ptr<TransferPlan> plan;
  Metrics* metrics = nullptr;  // none: nothing counted
  int site_numbers[kMaxSites] = {};  // the configured site of each leg, for the counts
};

// Starts the detached bouncer thread and returns once it runs. The record
// and every socket in it then belong to that thread, which closes them after
// the last leg. 0, or the error number of the failed start, in which case
// the record has been released (its listening sockets closed) here.
int start_bounce(std::unique_ptr<DataBounce> bounce);

// The thread's work, run on the calling thread: for tests.
void run_bounce(DataBounce& b);

}  // namespace ferrynet
