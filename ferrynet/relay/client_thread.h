// The body of a client's thread: announcement, ident, site connections, relay.
#pragma once

#include <cstdint>
#include <memory>

#include "ferrynet/session/client.h"

namespace ferrynet {

// `listen_port` is the daemon's own port, which an ident lookup names.
// `proxied`: the peer is a load balancer trusted to name its client first.
void client_thread_main(std::shared_ptr<Client> c, uint16_t listen_port, bool proxied);

}  // namespace ferrynet
