// The PROXY header a trusted load balancer sends before its client's first byte.
#pragma once

#include "ferrynet/core/address.h"
#include "ferrynet/core/connection.h"
#include "ferrynet/core/proxy_header.h"

namespace ferrynet {

// Reads the whole header from `conn` within kProxyHeaderSeconds and not one
// byte past it: what follows is the client's (a TLS handshake, say). False,
// after a log line naming `peer`, when the connection must close.
bool read_proxy_header(Connection& conn, const Address& peer, ProxyHeader& out);

}  // namespace ferrynet
