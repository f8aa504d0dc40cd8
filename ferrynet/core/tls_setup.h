// The daemon's TLS contexts: made once at start from the configuration, then
// shared read-only by every thread.
#pragma once

#include <memory>

#include "ferrynet/core/tls.h"

namespace ferrynet {

struct Config;

struct TlsContexts {
  std::shared_ptr<const TlsContext> for_clients;  // server side; null with clienttls no
  std::shared_ptr<const TlsContext> for_sites;    // client side; null with sitetls no
};

// Loads what the configuration asks for, before any other thread exists.
// 0 on success; 1 after printing the reason, naming the file, on standard error.
int load_tls_contexts(const Config& cfg);
// Start-up notes about TLS, once the log is open.
void log_tls_settings(const Config& cfg);
const TlsContexts& tls_contexts();

}  // namespace ferrynet
